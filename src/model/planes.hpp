// The boarding puzzle model: pure C++, no Python. Everything the binding layer uses.
#pragma once

#include "batch.hpp"
#include "boarding.hpp"
#include "config.hpp"
#include "counting.hpp"
#include "draws.hpp"
#include "fatal.hpp"
#include "memory.hpp"
#include "rng.hpp"
#include "seating.hpp"
#include "utf8.hpp"
