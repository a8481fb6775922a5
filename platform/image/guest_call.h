#pragma once
// What the host sees of a guest's call to an imported kernel function: the argument words where
// the Microsoft x64 convention puts them (RCX, RDX, R8, R9, then the caller's stack from
// [rsp+0x28]), and a way to stop the run when the call itself is a fault.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>

namespace image {

class GuestCall {
  public:
    virtual ~GuestCall() = default;
    // Argument word `index` (0-based).
    virtual uint64_t Word(size_t index) const = 0;
    // Stops the guest run with a fault report once the host function returns.
    virtual void Fault(const std::string& description) const = 0;
};

// A host function bound to an import: takes the guest's argument words, returns RAX.
using ImportThunk = uint64_t (*)(const GuestCall& call);

namespace detail {

// An argument as the callee sees it: only the low bits of a narrow argument's register or slot
// are defined, so they are all that is taken.
template <typename T>
T FromGuestWord(uint64_t word) {
    if constexpr (std::is_same_v<T, bool>) {
        return (word & 0xFF) != 0;
    } else if constexpr (std::is_pointer_v<T>) {
        return reinterpret_cast<T>(static_cast<uintptr_t>(word));
    } else if constexpr (std::is_enum_v<T>) {
        return static_cast<T>(static_cast<std::underlying_type_t<T>>(word));
    } else if constexpr (std::is_integral_v<T>) {
        return static_cast<T>(word);
    } else {
        // Structures of 1, 2, 4 or 8 bytes travel by value in the register or slot.
        static_assert(
            std::is_trivially_copyable_v<T> && sizeof(T) <= 8 && (sizeof(T) & (sizeof(T) - 1)) == 0,
            "larger structures are passed by reference");
        T value;
        std::memcpy(&value, &word, sizeof value);
        return value;
    }
}

template <typename T>
uint64_t ToGuestWord(T value) {
    if constexpr (std::is_pointer_v<T>) {
        return reinterpret_cast<uintptr_t>(value);
    } else if constexpr (std::is_enum_v<T>) {
        return static_cast<uint64_t>(static_cast<std::underlying_type_t<T>>(value));
    } else {
        static_assert(std::is_integral_v<T>, "kernel functions return integers and pointers");
        return static_cast<uint64_t>(static_cast<int64_t>(value));
    }
}

template <typename R, typename... Parameters, size_t... Index>
uint64_t InvokeIndexed(R (*function)(Parameters...), const GuestCall& call,
                       std::index_sequence<Index...>) {
    if constexpr (std::is_void_v<R>) {
        function(FromGuestWord<Parameters>(call.Word(Index))...);
        return 0;
    } else {
        return ToGuestWord(function(FromGuestWord<Parameters>(call.Word(Index))...));
    }
}

template <typename R, typename... Parameters>
uint64_t Invoke(R (*function)(Parameters...), const GuestCall& call) {
    return InvokeIndexed(function, call, std::index_sequence_for<Parameters...>{});
}

}  // namespace detail

// The thunk of host function F: its parameter and return types, taken from its declaration,
// decide how each guest word is converted.
template <auto F>
uint64_t Thunk(const GuestCall& call) {
    return detail::Invoke(F, call);
}

}  // namespace image
