#include "ParallelCopy.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <system_error>
#include <thread>

#include "Console.h"

namespace lindqvar {

std::uint64_t CopyProgrammesAtOffsets(std::vector<ListingInput>& inputs, Spool* spool,
                                      OutputFile& output, std::uint64_t at, std::span<char> buffer,
                                      std::span<char> spare) {
  std::vector<std::uint64_t> places;
  places.reserve(inputs.size());
  for (const ListingInput& input : inputs) {
    places.push_back(at);
    at += input.programmes.Size();
  }
  std::vector<std::exception_ptr> failures(inputs.size());
  std::atomic<std::size_t> next{0};
  // Once a section failed, the sections after it are of no more use: they
  // are not begun, and those begun are left part way.
  std::atomic<std::size_t> firstFailed{inputs.size()};

  // The index-th input's section to its place.
  const auto copy = [&](std::size_t index, std::span<char> room) {
    ListingInput& input = inputs[index];
    const Range section = input.programmes;
    {
      SecondReading again(input, spool, {}, section.end);
      std::uint64_t to = places[index];
      for (std::uint64_t offset = section.first; offset < section.end;) {
        if (firstFailed < index) return;
        const std::size_t size = std::min<std::uint64_t>(room.size(), section.end - offset);
        again.Read(offset, room.data(), size);
        WriteOutputAt(output, to, {room.data(), size});
        offset += size;
        to += size;
      }
    }
    // Whatever was taken from it, a file must still be as first read, even
    // one that was empty then.
    if (!InputUnchanged(input.file)) RaiseInputChanged();
    input = ListingInput();  // done with it
  };
  const auto work = [&](std::span<char> room) {
    for (std::size_t index; (index = next.fetch_add(1)) < inputs.size() && index < firstFailed;) {
      try {
        copy(index, room);
      } catch (...) {
        failures[index] = std::current_exception();
        std::size_t failed = firstFailed;
        while (index < failed && !firstFailed.compare_exchange_weak(failed, index)) {
        }
      }
    }
  };

  std::thread helper;
  if (std::thread::hardware_concurrency() > 1 && inputs.size() > 1) {
    try {
      helper = StartWorkerThread([&] { work(spare); });
    } catch (const std::system_error&) {
    }
  }
  work(buffer);
  if (helper.joinable()) helper.join();
  for (const std::exception_ptr& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
  return at;
}

}  // namespace lindqvar
