#pragma once
// Every call the host makes into code the driver handed it (its entry, the dispatch routines of
// its device descriptor, completion routines, filter and pin dispatch, property, method and
// intersection handlers) goes through CallDriver. The code behind such a pointer is either the
// host-compiled driver core, called directly, or foreign code registered by a runner (the Windows
// image executing under a CPU emulator), which receives the arguments as 64-bit words in the
// order of the C++ signature and answers with the 64-bit return register.
//
// Every such routine must return at the IRQL it was called at, holding no spin lock and no
// mutex it did not hold on entry (the kernel's own checks on return from a dispatch routine,
// completion routine or callback); CallDriver checks that on return, and a routine that breaks
// it is a bug check (kernel_errors.h).
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

#include "platform/kernel.h"

namespace host {

class ForeignCodeRunner {
  public:
    virtual ~ForeignCodeRunner() = default;
    // True when `code` lies in foreign code that this runner executes.
    virtual bool Owns(const void* code) const = 0;
    // Runs the foreign function at `code` with `count` argument words on the calling thread and
    // returns its return register.
    virtual uint64_t Call(const void* code, const uint64_t* arguments, size_t count) = 0;
    // The routine at `code` in words (its function name), for reports.
    virtual std::string Describe(const void*) const { return {}; }
};

// Installs (or, with nullptr, removes) the runner consulted by CallDriver. Not thread-safe
// against calls in flight: install before loading a driver, remove after unloading it.
void SetForeignCodeRunner(ForeignCodeRunner* runner);
ForeignCodeRunner* CurrentForeignCodeRunner();

// What a driver routine is called with, and the check of what it returned with.
class DriverRoutineFrame {
  public:
    explicit DriverRoutineFrame(const void* routine);
    ~DriverRoutineFrame();  // bug check on a changed IRQL or a lock taken and kept
    DriverRoutineFrame(const DriverRoutineFrame&) = delete;
    DriverRoutineFrame& operator=(const DriverRoutineFrame&) = delete;

  private:
    const void* routine_;
    KIRQL irql_;
    size_t spinLocks_;
    int mutexes_;
};

namespace detail {

template <typename T>
uint64_t ToWord(T value) {
    if constexpr (std::is_pointer_v<T>) {
        return reinterpret_cast<uintptr_t>(value);
    } else if constexpr (std::is_enum_v<T>) {
        return static_cast<uint64_t>(static_cast<std::underlying_type_t<T>>(value));
    } else {
        static_assert(std::is_integral_v<T>, "driver routines take integers and pointers");
        // Signed values are sign-extended, as a compiler widens them in a register.
        return static_cast<uint64_t>(static_cast<int64_t>(value));
    }
}

template <typename R>
R FromWord(uint64_t word) {
    if constexpr (std::is_void_v<R>) {
        return;
    } else if constexpr (std::is_same_v<R, bool>) {
        // Only AL carries a bool; the rest of the register is undefined.
        return (word & 0xFF) != 0;
    } else if constexpr (std::is_pointer_v<R>) {
        return reinterpret_cast<R>(static_cast<uintptr_t>(word));
    } else {
        // Narrow results occupy the low bits of the return register.
        return static_cast<R>(word);
    }
}

}  // namespace detail

template <typename R, typename... Parameters, typename... Arguments>
R CallDriver(R (*routine)(Parameters...), Arguments... arguments) {
    static_assert(sizeof...(Parameters) == sizeof...(Arguments));
    const DriverRoutineFrame frame(reinterpret_cast<const void*>(routine));
    ForeignCodeRunner* runner = CurrentForeignCodeRunner();
    if (runner != nullptr && runner->Owns(reinterpret_cast<const void*>(routine))) {
        const uint64_t words[sizeof...(Parameters) + 1] = {
            detail::ToWord(static_cast<Parameters>(arguments))..., 0};
        return detail::FromWord<R>(
            runner->Call(reinterpret_cast<const void*>(routine), words, sizeof...(Parameters)));
    }
    return routine(static_cast<Parameters>(arguments)...);
}

}  // namespace host
