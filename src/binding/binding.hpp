// The Python binding of the model: call guard, errors, argument parser, the Planes object
// with its borrows, conversions and attributes, and the class object.
#pragma once

#include "args.hpp"
#include "attributes.hpp"
#include "convert.hpp"
#include "error.hpp"
#include "guard.hpp"
#include "methods.hpp"
#include "object.hpp"
#include "once.hpp"
#include "planes_class.hpp"
#include "ref.hpp"
#include "seating_dict.hpp"
