// The seeded boarding's record: the block's stream, the skip to the boarding, the record.
#include "recording.hpp"

#include <charconv>
#include <new>
#include <string>

#include "rng.hpp"

namespace tavrin {

namespace {

std::string decimal(std::uint64_t value) {
    char digits[20];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    return std::string(digits, end);
}

[[noreturn]] void refuse(const std::string& message) { throw CountError(CountError::Kind::bad_value, message); }

}  // namespace

BoardingRecord record_seeded_boarding(const Planes& planes, const BoardingRequest& request) {
    if (request.block_size == 0 || request.block_size > MAX_BLOCK_SIZE) {
        refuse("block_size must be from 1 to " + decimal(MAX_BLOCK_SIZE) + ", not " + decimal(request.block_size));
    }
    if (request.index == UINT64_MAX) {
        refuse("index must be below 2**64 - 1, not " + decimal(request.index));
    }
    const std::uint64_t within = request.index % request.block_size;
    if (within == 0 && request.start_position != UNKNOWN_POSITION && request.start_position != 0) {
        refuse("position must be 0 where a block begins, not " + decimal(request.start_position));
    }
    check_countable(planes);
    BoardingRecord record;
    try {
        ChaCha12Rng words(request.key, request.index / request.block_size, request.refill);
        if (request.start_position != UNKNOWN_POSITION) {
            words.seek(request.start_position);
        } else {
            std::vector<SeatNumber> scratch;
            for (std::uint64_t i = 0; i < within; ++i) {
                static_cast<void>(run_simulation(planes, words, scratch));
            }
        }
        record.start_position = words.position();
        // Sized once for the whole cabin: the checked plane fits the memory budget.
        record.tickets.reserve(static_cast<std::size_t>(planes.seats));
        record_boarding(planes, words, record);
        record.stop_position = words.position();
    } catch (const std::bad_alloc&) {
        throw CountError(CountError::Kind::no_memory, out_of_memory_message(planes.seats));
    }
    return record;
}

}  // namespace tavrin
