// The draws and the boarding as the model made them before they went without branches: a
// bounded draw that loops until a word is accepted, a shuffle and a chain of displaced
// passengers made of such draws. Kept here, for boarding_bench alone, so that the old path can
// be timed beside the new one in the same run; the model does not use it.
#pragma once

#include <bit>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "draws.hpp"
#include "seating.hpp"

namespace tavrin::branching {

template <WordSource G>
[[gnu::always_inline]] inline std::uint32_t uniform_below(G& g, std::uint32_t n) {
    const std::uint32_t zone = (n << std::countl_zero(n)) - 1;
    for (;;) {
        const std::uint64_t product = std::uint64_t{g()} * n;
        if (static_cast<std::uint32_t>(product) <= zone) {
            return static_cast<std::uint32_t>(product >> 32);
        }
    }
}

template <WordSource G, typename T>
[[gnu::noinline]] void shuffle(G& g, std::span<T> items) {
    if (items.size() < 2) {
        return;
    }
    WordCursor<G> words(g);
    T* const first = items.data();
    for (T* last = first + items.size() - 1; last != first; --last) {
        const std::uint32_t k = branching::uniform_below(words, static_cast<std::uint32_t>(last - first) + 1);
        using std::swap;
        swap(*last, first[k]);
    }
}

template <WordSource G>
bool board(std::span<const SeatNumber> tickets, G& g) {
    const auto last = static_cast<std::uint32_t>(tickets.size());
    std::uint32_t drawer = 1;
    WordCursor<G> words(g);
    for (;;) {
        const std::uint32_t k = branching::uniform_below(words, last - drawer + 1);
        if (k == 0) {
            break;
        }
        drawer += k;
    }
    const SeatNumber last_seat = drawer == last ? tickets[0] : tickets[last - 1];
    return last_seat == tickets[last - 1];
}

// run_simulation(planes, g, seats) of the model on these draws, for a plane with at least one
// passenger that fits its seats.
template <WordSource G>
bool run_simulation(const Planes& planes, G& g, std::vector<SeatNumber>& seats) {
    seating_steps::check_columns(planes);
    seating_steps::fill_seat_numbers(seats, planes.seats);
    branching::shuffle(g, std::span<SeatNumber>(seats));
    seating_steps::check_passengers_fit(planes);
    return branching::board(std::span<const SeatNumber>(seats.data(), static_cast<std::size_t>(planes.passengers)), g);
}

}  // namespace tavrin::branching
