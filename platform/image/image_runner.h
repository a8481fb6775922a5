#pragma once
// Runs a Windows x64 driver image (kvsbda.sys) on the host under a CPU emulator (unicorn).
//
// Memory: the image is mapped into host memory and relocated there; every engine sees the host's
// address space one to one (a page is mapped into the emulator, at the same address, the first
// time the guest touches it, if the host has it mapped), so pointers mean the same to the guest
// and to the host services, which work on guest structures directly.
//
// Imports: every import slot points into a reserved page the guest cannot execute. A call to an
// import stops the emulator there; the runner takes the arguments where the Microsoft x64
// convention puts them, calls the host function bound to the import (platform/image/
// kernel_imports.cpp), puts its result in RAX and returns to the caller. A host call into the
// image (host::CallDriver with this runner installed) runs guest code until it returns to a
// sentinel address. When the host function of an import calls back into the image (IofCallDriver
// completing a packet at once), the nested call runs on the same guest stack below the caller's
// frame, after the engine's registers are saved; the emulator itself is never re-entered.
//
// Threads: each host thread that runs guest code has its own engine and its own 24 KB guest
// stack (a Windows x64 kernel stack) above a guard page. Only one engine executes guest
// instructions at a time, under the runner's guest lock: the emulator does not make a guest's
// locked instructions atomic against another engine. The lock is released for every import call,
// so a guest that waits, sleeps or spins on a spin lock does so in the host without holding up
// the other threads' guest code. Guest code that spins on memory without calling an import would
// keep the lock; the driver has no such loop.
//
// IRQL: the DDK's inline KeGetCurrentIrql/KeRaiseIrql/KeLowerIrql move to and from CR8. Those
// instructions are found in the image's code and emulated against the host's per-thread IRQL, so
// the emulation's DISPATCH_LEVEL checks see what the guest set.
//
// Faults stop all guest execution with a report (GuestFault): an unknown import, an access to
// memory the host has not mapped (or a write to read-only memory, or executing outside the
// image's code), a guest stack overflow into the guard page, an invalid instruction or processor
// exception, a bug check, and a guest function that returns at another IRQL than it was called
// at. After a fault every call into the image returns kFaultResult at once.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/host/driver_call.h"
#include "platform/image/guest_call.h"
#include "platform/image/guest_fault.h"
#include "platform/image/mapped_image.h"

namespace image {

struct GuestEngine;

class ImageRunner : public host::ForeignCodeRunner {
  public:
    // What a call into the image returns once a fault has stopped it (STATUS_UNSUCCESSFUL).
    static constexpr uint64_t kFaultResult = 0xC0000001;
    // Guest stack of each host thread, as a Windows x64 kernel stack.
    static constexpr uint64_t kStackBytes = 24 * 1024;
    // Room left below a guest frame for the host's own frames when an import calls back into the
    // image (the kernel's own frames of IofCallDriver and a completion use the same stack).
    static constexpr uint64_t kHostFrameAllowance = 512;

    // Reads, maps, relocates and binds the image at `path`. nullptr with `error` on failure.
    static std::unique_ptr<ImageRunner> Load(const std::string& path, std::string* error);
    ~ImageRunner() override;
    ImageRunner(const ImageRunner&) = delete;
    ImageRunner& operator=(const ImageRunner&) = delete;

    bool Owns(const void* code) const override;
    uint64_t Call(const void* code, const uint64_t* arguments, size_t count) override;
    std::string Describe(const void* code) const override;

    const MappedImage& Image() const { return *image_; }
    // The image's entry point, for host::LoadDriver.
    template <typename Function>
    Function EntryPoint() const {
        return reinterpret_cast<Function>(image_->EntryPoint());
    }
    // A function of the image by its (mangled) symbol name, typed as the caller declares it.
    template <typename Function>
    Function Find(const std::string& name) const {
        std::optional<uint64_t> address = image_->Find(name);
        return address && image_->IsCode(*address) ? reinterpret_cast<Function>(*address) : nullptr;
    }
    // "module!name" of every import the emulation has no function for (calling one is a fault).
    const std::vector<std::string>& UnboundImports() const { return unbound_; }

    // Called (once, on the thread that hit it) with the first fault; without a handler the report
    // goes to stderr and the process aborts.
    void SetFaultHandler(std::function<void(const GuestFault&)> handler);
    std::optional<GuestFault> Fault() const;

    // Calls into the image and import calls made by it, since loading.
    uint64_t GuestCalls() const { return guestCalls_.load(); }
    uint64_t ImportCalls() const { return importCalls_.load(); }

  private:
    using Engine = GuestEngine;
    struct Binding {
        std::string name;  // module!name
        ImportThunk thunk = nullptr;
    };
    class StoppedCall;
    // The image function an import call came from, described for a bug check in the service.
    struct ImportCaller {
        const ImageRunner* runner;
        const std::string* name;  // the import or host routine called
        uint64_t returnAddress;
        static std::string Describe(const void* context);
    };

    ImageRunner() = default;
    Engine* ThisThreadEngine();
    Engine* CreateEngine();
    void DropEngine(Engine* engine);
    uint64_t Run(Engine& engine, uint64_t code, const uint64_t* arguments, size_t count);
    bool CallImport(Engine& engine, uint64_t slotAddress, std::unique_lock<std::mutex>& guestLock);
    // Runs the host function of a call the guest has just made (its return address on top of the
    // guest stack) and returns to the caller; false when the run has stopped.
    bool CallThunk(Engine& engine, const std::string& name, ImportThunk thunk,
                   std::unique_lock<std::mutex>& guestLock);
    void RaiseFault(Engine* engine, std::string kind, std::string description, uint64_t address);
    std::string DescribeStop(Engine& engine, int error, uint64_t rip, std::string* kind);

    friend struct EngineHooks;

    uint64_t id_ = 0;
    std::unique_ptr<MappedImage> image_;
    uint8_t* stubs_ = nullptr;  // reserved, never accessible: import slots and the return sentinel
    std::vector<Binding> bindings_;
    std::vector<std::string> unbound_;
    // Lock order of the runner: guest lock -> fault lock; registry lock (thread exit) -> engines
    // lock. The guest lock is released for every import call, so no lock of the driver or of the
    // kernel emulation is ever taken while it is held, and none of them is held when it is taken
    // except by the code that called into the image.
    std::mutex guestLock_;  // held while any engine executes guest instructions
    std::mutex enginesLock_;
    std::vector<std::unique_ptr<Engine>> engines_;
    mutable std::mutex faultLock_;
    std::optional<GuestFault> fault_;
    std::function<void(const GuestFault&)> faultHandler_;
    std::atomic<bool> faulted_{false};
    std::atomic<uint64_t> guestCalls_{0};
    std::atomic<uint64_t> importCalls_{0};
};

}  // namespace image
