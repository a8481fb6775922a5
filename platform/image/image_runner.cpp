#include "platform/image/image_runner.h"

#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>

#include "platform/host/kernel_errors.h"
#include "platform/image/guest_engine.h"
#include "platform/image/host_memory.h"
#include "platform/image/host_routines.h"
#include "platform/image/kernel_imports.h"
#include "platform/kernel.h"

namespace image {

static_assert(ImageRunner::kStackBytes == kGuestStackBytes);

namespace {

constexpr uint64_t kPage = 0x1000;
// Import slot addresses are 16 bytes apart in the reserved area; the return sentinel sits on its
// last page.
constexpr uint64_t kSlotBytes = 16;
constexpr uint64_t kStubBytes = 16 * kPage;
constexpr uint64_t kSentinelOffset = kStubBytes - kPage;
// Stack kept free above the first guest frame, as the kernel's frames above a driver's are: a
// callee may look at its caller's frame (the home slots of a tail call's target).
constexpr uint64_t kKernelFrameAbove = 0x100;
// Host memory is mapped into an engine a window at a time, so that a few regions cover the heap.
constexpr uint64_t kMapWindow = 1 << 20;
constexpr size_t kMaxStackEntries = 16;

// The general registers in instruction-encoding order (ModRM rm field plus REX.B).
constexpr int kRegisterByNumber[16] = {
    UC_X86_REG_RAX, UC_X86_REG_RCX, UC_X86_REG_RDX, UC_X86_REG_RBX, UC_X86_REG_RSP, UC_X86_REG_RBP,
    UC_X86_REG_RSI, UC_X86_REG_RDI, UC_X86_REG_R8,  UC_X86_REG_R9,  UC_X86_REG_R10, UC_X86_REG_R11,
    UC_X86_REG_R12, UC_X86_REG_R13, UC_X86_REG_R14, UC_X86_REG_R15};

std::string Hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

// Engines of every live runner, so that a thread that ends can give its engines back.
struct Registry {
    std::mutex lock;
    std::map<uint64_t, ImageRunner*> runners;
    uint64_t nextId = 1;
};

Registry& TheRegistry() {
    static Registry* registry = new Registry;  // never destroyed: threads may end during exit
    return *registry;
}

}  // namespace

// Unicorn's callbacks, with access to the runner.
struct EngineHooks {
    // The guest touched memory this engine has not mapped yet: map the host's memory there if the
    // host has it (never as code, never the reserved import area or a guard page).
    static bool Unmapped(uc_engine*, uc_mem_type type, uint64_t address, int, int64_t, void* user) {
        auto* engine = static_cast<GuestEngine*>(user);
        engine->missType = type;
        engine->missAddress = address;
        if (type == UC_MEM_FETCH_UNMAPPED) return false;
        const uint64_t stubs =
            reinterpret_cast<uint64_t>(static_cast<ImageRunner*>(engine->owner)->stubs_);
        if (address - stubs < kStubBytes) return false;
        std::optional<HostMapping> host = FindHostMapping(address);
        if (!host || !host->readable) return false;
        const uint64_t window = address & ~(kMapWindow - 1);
        const uint64_t start = std::max(host->start, window);
        const uint64_t end = std::min(host->end, window + kMapWindow);
        engine->MapHost(start, end, UC_PROT_READ | (host->writable ? UC_PROT_WRITE : 0));
        return engine->IsMapped(address);
    }

    // mov cr8, reg / mov reg, cr8: the guest's IRQL is the host thread's IRQL.
    static void IrqlAccess(uc_engine* uc, uint64_t address, uint32_t, void* user) {
        auto* engine = static_cast<GuestEngine*>(user);
        const auto* code = reinterpret_cast<const uint8_t*>(address);
        const int reg = kRegisterByNumber[(code[3] & 7) | ((code[0] & 1) << 3)];
        if (code[2] == 0x20) {
            WriteRegister(uc, reg, KeGetCurrentIrql());
        } else {
            const uint64_t value = ReadRegister(uc, reg);
            if (value > 15) {
                static_cast<ImageRunner*>(engine->owner)
                    ->RaiseFault(engine, "invalid IRQL",
                                 "mov to CR8 of " + Hex(value) +
                                     " (reserved bits set: the processor raises #GP)",
                                 address);
                uc_emu_stop(uc);
                return;
            }
            const KIRQL current = KeGetCurrentIrql();
            const auto level = static_cast<KIRQL>(value);
            if (level > current) {
                KIRQL previous;
                KeRaiseIrql(level, &previous);
            } else if (level < current) {
                KeLowerIrql(level);
            }
        }
        WriteRegister(uc, UC_X86_REG_RIP, address + 4);
    }

    static void Interrupt(uc_engine* uc, uint32_t number, void* user) {
        static_cast<GuestEngine*>(user)->interrupt = static_cast<int>(number);
        uc_emu_stop(uc);
    }

    // A thread that ran guest code has ended: its engine goes, if the runner is still there.
    static void ThreadEnded(uint64_t runnerId, void* engine);
};

// The arguments of an import call, read where the caller put them.
class ImageRunner::StoppedCall : public GuestCall {
  public:
    StoppedCall(Engine& engine) : engine_(engine) {
        registers_[0] = ReadRegister(engine.uc, UC_X86_REG_RCX);
        registers_[1] = ReadRegister(engine.uc, UC_X86_REG_RDX);
        registers_[2] = ReadRegister(engine.uc, UC_X86_REG_R8);
        registers_[3] = ReadRegister(engine.uc, UC_X86_REG_R9);
        rsp_ = ReadRegister(engine.uc, UC_X86_REG_RSP);
    }
    uint64_t Word(size_t index) const override {
        if (index < 4) return registers_[index];
        // Above the return address: the four home slots, then the fifth argument on.
        const uint64_t at = rsp_ + 8 + 8 * index;
        if (at < engine_.stackLow || at + 8 > engine_.stackHigh) {
            Fault("argument " + std::to_string(index + 1) + " lies outside the guest stack");
            return 0;
        }
        uint64_t word;
        std::memcpy(&word, reinterpret_cast<const void*>(at), sizeof word);
        return word;
    }
    void Fault(const std::string& description) const override {
        if (fault_.empty()) fault_ = description;
    }
    const std::string& FaultText() const { return fault_; }

  private:
    Engine& engine_;
    uint64_t registers_[4] = {};
    uint64_t rsp_ = 0;
    mutable std::string fault_;
};

std::unique_ptr<ImageRunner> ImageRunner::Load(const std::string& path, std::string* error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *error = "cannot read " + path;
        return nullptr;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                               std::istreambuf_iterator<char>());
    PeFile pe;
    if (!PeFile::Parse(std::move(bytes), &pe, error)) {
        *error = path + ": " + *error;
        return nullptr;
    }
    std::unique_ptr<ImageRunner> runner(new ImageRunner);
    runner->image_ = MappedImage::Map(pe, error);
    if (runner->image_ == nullptr) return nullptr;
    void* stubs = mmap(nullptr, kStubBytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (stubs == MAP_FAILED) {
        *error = "cannot reserve the import area";
        return nullptr;
    }
    runner->stubs_ = static_cast<uint8_t*>(stubs);
    if (pe.Imports().size() * kSlotBytes > kSentinelOffset) {
        *error = path + ": too many imports";
        return nullptr;
    }
    for (const PeImport& import : pe.Imports()) {
        Binding binding;
        binding.name = import.module;
        binding.name += '!';
        binding.name += import.name.empty() ? std::to_string(import.ordinal) : import.name;
        binding.thunk = FindKernelExport(import.module, import.name);
        if (binding.thunk == nullptr) runner->unbound_.push_back(binding.name);
        runner->image_->BindImport(import, reinterpret_cast<uint64_t>(runner->stubs_) +
                                               runner->bindings_.size() * kSlotBytes);
        runner->bindings_.push_back(std::move(binding));
    }
    Registry& registry = TheRegistry();
    std::lock_guard guard(registry.lock);
    runner->id_ = registry.nextId++;
    registry.runners[runner->id_] = runner.get();
    return runner;
}

ImageRunner::~ImageRunner() {
    {
        Registry& registry = TheRegistry();
        std::lock_guard guard(registry.lock);
        registry.runners.erase(id_);
    }
    {
        std::lock_guard guard(enginesLock_);
        engines_.clear();
    }
    if (stubs_ != nullptr) munmap(stubs_, kStubBytes);
}

bool ImageRunner::Owns(const void* code) const {
    return image_->IsCode(reinterpret_cast<uint64_t>(code));
}

std::string ImageRunner::Describe(const void* code) const {
    return image_->Describe(reinterpret_cast<uint64_t>(code));
}

std::string ImageRunner::ImportCaller::Describe(const void* context) {
    const auto* caller = static_cast<const ImportCaller*>(context);
    return caller->runner->image_->Describe(caller->returnAddress) + " (return address " +
           Hex(caller->returnAddress) + ") calling " + *caller->name;
}

void ImageRunner::SetFaultHandler(std::function<void(const GuestFault&)> handler) {
    std::lock_guard guard(faultLock_);
    faultHandler_ = std::move(handler);
}

std::optional<GuestFault> ImageRunner::Fault() const {
    std::lock_guard guard(faultLock_);
    return fault_;
}

namespace {

// The engines this thread created, per runner; given back when the thread ends.
struct ThreadEngines {
    std::vector<std::pair<uint64_t, void*>> entries;
    ~ThreadEngines();
};

thread_local ThreadEngines tThreadEngines;

}  // namespace

ImageRunner::Engine* ImageRunner::ThisThreadEngine() {
    for (const auto& [runnerId, engine] : tThreadEngines.entries)
        if (runnerId == id_) return static_cast<Engine*>(engine);
    Engine* engine = CreateEngine();
    if (engine != nullptr) tThreadEngines.entries.emplace_back(id_, engine);
    return engine;
}

ImageRunner::Engine* ImageRunner::CreateEngine() {
    std::unique_ptr<Engine> engine = CreateGuestEngine(*image_, this);
    if (engine == nullptr) return nullptr;
    uc_engine* uc = engine->uc;
    uc_hook hook;
    uc_hook_add(uc, &hook, UC_HOOK_MEM_UNMAPPED, reinterpret_cast<void*>(&EngineHooks::Unmapped),
                engine.get(), 1, 0);
    uc_hook_add(uc, &hook, UC_HOOK_INTR, reinterpret_cast<void*>(&EngineHooks::Interrupt),
                engine.get(), 1, 0);
    for (uint64_t site : image_->IrqlAccessSites())
        uc_hook_add(uc, &hook, UC_HOOK_CODE, reinterpret_cast<void*>(&EngineHooks::IrqlAccess),
                    engine.get(), site, site);
    Engine* raw = engine.get();
    std::lock_guard guard(enginesLock_);
    engines_.push_back(std::move(engine));
    return raw;
}

void ImageRunner::DropEngine(Engine* engine) {
    std::lock_guard guard(enginesLock_);
    for (auto it = engines_.begin(); it != engines_.end(); ++it) {
        if (it->get() == engine) {
            engines_.erase(it);
            return;
        }
    }
}

void EngineHooks::ThreadEnded(uint64_t runnerId, void* engine) {
    Registry& registry = TheRegistry();
    std::lock_guard guard(registry.lock);
    auto found = registry.runners.find(runnerId);
    if (found != registry.runners.end())
        found->second->DropEngine(static_cast<GuestEngine*>(engine));
}

namespace {
ThreadEngines::~ThreadEngines() {
    for (const auto& [runnerId, engine] : entries) EngineHooks::ThreadEnded(runnerId, engine);
}
}  // namespace

uint64_t ImageRunner::Call(const void* code, const uint64_t* arguments, size_t count) {
    if (faulted_.load()) return kFaultResult;
    Engine* engine = ThisThreadEngine();
    if (engine == nullptr) {
        RaiseFault(nullptr, "emulator", "cannot create an emulator engine for this thread",
                   reinterpret_cast<uint64_t>(code));
        return kFaultResult;
    }
    guestCalls_.fetch_add(1, std::memory_order_relaxed);
    return Run(*engine, reinterpret_cast<uint64_t>(code), arguments, count);
}

uint64_t ImageRunner::Run(Engine& engine, uint64_t code, const uint64_t* arguments, size_t count) {
    uc_engine* uc = engine.uc;
    std::unique_lock held(guestLock_);
    // The first call starts below room the kernel's own frames would take at the top of the
    // stack; a call made from inside an import call runs below the caller's frame.
    uint64_t top = engine.stackHigh - kKernelFrameAbove;
    if (engine.depth > 0) {
        if (engine.saved.size() < static_cast<size_t>(engine.depth)) {
            uc_context* context = nullptr;
            uc_context_alloc(uc, &context);
            engine.saved.push_back(context);
        }
        top = ReadRegister(uc, UC_X86_REG_RSP) - kHostFrameAllowance;
        uc_context_save(uc, engine.saved[engine.depth - 1]);
    }
    const uint64_t stackArguments = count > 4 ? count - 4 : 0;
    const uint64_t frame = (0x20 + 8 * stackArguments + 15) & ~uint64_t{15};
    const uint64_t callSite = (top & ~uint64_t{15}) - frame;  // RSP at the call instruction
    const uint64_t sentinel = reinterpret_cast<uint64_t>(stubs_) + kSentinelOffset;
    uint64_t result = kFaultResult;
    if (callSite - 8 < engine.stackLow || callSite > top) {
        held.unlock();
        RaiseFault(
            &engine, "guest stack overflow",
            "no room on the 24 KB guest stack for a nested call into " + image_->Describe(code),
            code);
        held.lock();
    } else {
        for (size_t i = 0; i < stackArguments; ++i)
            std::memcpy(reinterpret_cast<void*>(callSite + 0x20 + 8 * i), &arguments[4 + i], 8);
        std::memcpy(reinterpret_cast<void*>(callSite - 8), &sentinel, 8);
        const int argumentRegisters[4] = {UC_X86_REG_RCX, UC_X86_REG_RDX, UC_X86_REG_R8,
                                          UC_X86_REG_R9};
        for (size_t i = 0; i < 4; ++i)
            WriteRegister(uc, argumentRegisters[i], i < count ? arguments[i] : 0);
        WriteRegister(uc, UC_X86_REG_RSP, callSite - 8);
        const KIRQL irqlAtCall = KeGetCurrentIrql();
        ++engine.depth;
        uint64_t rip = code;
        bool finished = false;
        while (!faulted_.load()) {
            engine.interrupt = -1;
            const uc_err error = uc_emu_start(uc, rip, sentinel, 0, 0);
            rip = ReadRegister(uc, UC_X86_REG_RIP);
            if (faulted_.load()) break;
            if (error == UC_ERR_OK && engine.interrupt < 0 && rip == sentinel) {
                finished = true;
                break;
            }
            if (error == UC_ERR_FETCH_UNMAPPED && engine.interrupt < 0 &&
                rip - reinterpret_cast<uint64_t>(stubs_) < kSentinelOffset) {
                if (!CallImport(engine, rip, held)) break;
                rip = ReadRegister(uc, UC_X86_REG_RIP);
                continue;
            }
            if ((error == UC_ERR_FETCH_UNMAPPED || error == UC_ERR_FETCH_PROT) &&
                engine.interrupt < 0) {
                const HostRoutine routine = FindHostRoutine(rip);
                if (routine.thunk != nullptr) {
                    if (!CallThunk(engine, routine.name, routine.thunk, held)) break;
                    rip = ReadRegister(uc, UC_X86_REG_RIP);
                    continue;
                }
            }
            std::string kind;
            std::string description = DescribeStop(engine, error, rip, &kind);
            held.unlock();
            RaiseFault(&engine, kind, description, rip);
            held.lock();
            break;
        }
        --engine.depth;
        if (finished) {
            result = ReadRegister(uc, UC_X86_REG_RAX);
            const KIRQL irqlAtReturn = KeGetCurrentIrql();
            if (irqlAtReturn != irqlAtCall) {
                held.unlock();
                RaiseFault(&engine, "unbalanced IRQL",
                           image_->Describe(code) + " was called at IRQL " +
                               std::to_string(irqlAtCall) + " and returned at IRQL " +
                               std::to_string(irqlAtReturn),
                           code);
                held.lock();
                result = kFaultResult;
                // Back to the caller's level, so that the host's own check of the return
                // (host::CallDriver) does not report the same fault again.
                if (irqlAtReturn > irqlAtCall) {
                    KeLowerIrql(irqlAtCall);
                } else {
                    KIRQL lowered;
                    KeRaiseIrql(irqlAtCall, &lowered);
                }
            }
        }
    }
    if (engine.depth > 0) uc_context_restore(uc, engine.saved[engine.depth - 1]);
    return faulted_.load() ? kFaultResult : result;
}

bool ImageRunner::CallImport(Engine& engine, uint64_t slotAddress,
                             std::unique_lock<std::mutex>& guestLock) {
    uc_engine* uc = engine.uc;
    const uint64_t offset = slotAddress - reinterpret_cast<uint64_t>(stubs_);
    const uint64_t rsp = ReadRegister(uc, UC_X86_REG_RSP);
    uint64_t returnAddress = 0;
    std::memcpy(&returnAddress, reinterpret_cast<const void*>(rsp), sizeof returnAddress);
    if (offset % kSlotBytes != 0 || offset / kSlotBytes >= bindings_.size()) {
        guestLock.unlock();
        RaiseFault(&engine, "invalid memory access",
                   "execution reached the import area outside an import (" + Hex(slotAddress) +
                       "), called from " + image_->Describe(returnAddress),
                   returnAddress);
        guestLock.lock();
        return false;
    }
    const Binding& binding = bindings_[offset / kSlotBytes];
    if (binding.thunk == nullptr) {
        guestLock.unlock();
        RaiseFault(&engine, "unknown import",
                   "called " + binding.name + ", which the host emulation does not provide",
                   returnAddress);
        guestLock.lock();
        return false;
    }
    return CallThunk(engine, binding.name, binding.thunk, guestLock);
}

bool ImageRunner::CallThunk(Engine& engine, const std::string& name, ImportThunk thunk,
                            std::unique_lock<std::mutex>& guestLock) {
    uc_engine* uc = engine.uc;
    const uint64_t rsp = ReadRegister(uc, UC_X86_REG_RSP);
    uint64_t returnAddress = 0;
    std::memcpy(&returnAddress, reinterpret_cast<const void*>(rsp), sizeof returnAddress);
    importCalls_.fetch_add(1, std::memory_order_relaxed);
    StoppedCall call(engine);
    guestLock.unlock();
    // A bug check in the service names the image function that called it.
    const ImportCaller importCaller{this, &name, returnAddress};
    const host::ScopedCaller caller(&ImportCaller::Describe, &importCaller);
    const uint64_t result = thunk(call);
    if (!call.FaultText().empty())
        RaiseFault(&engine, "fault in " + name, call.FaultText(), returnAddress);
    guestLock.lock();
    if (faulted_.load()) return false;
    // Return to the caller as its `ret` would.
    WriteRegister(uc, UC_X86_REG_RAX, result);
    WriteRegister(uc, UC_X86_REG_RSP, rsp + 8);
    WriteRegister(uc, UC_X86_REG_RIP, returnAddress);
    return true;
}

std::string ImageRunner::DescribeStop(Engine& engine, int error, uint64_t rip, std::string* kind) {
    const uint64_t rsp = ReadRegister(engine.uc, UC_X86_REG_RSP);
    const uint64_t miss = engine.missAddress;
    if (engine.interrupt >= 0) {
        *kind = "processor exception";
        switch (engine.interrupt) {
            case 0:
                return "divide error (#DE)";
            case 3:
                return "breakpoint (int 3)";
            case 6:
                return "invalid instruction (#UD)";
            case 13:
                return "general protection fault (#GP)";
            case 0x29:
                return "fast fail (int 0x29)";
            default:
                return "interrupt " + std::to_string(engine.interrupt);
        }
    }
    const bool memoryError = error == UC_ERR_READ_UNMAPPED || error == UC_ERR_WRITE_UNMAPPED ||
                             error == UC_ERR_FETCH_UNMAPPED || error == UC_ERR_READ_PROT ||
                             error == UC_ERR_WRITE_PROT || error == UC_ERR_FETCH_PROT;
    if (memoryError &&
        ((miss >= engine.guardLow && miss < engine.stackLow) || rsp < engine.stackLow)) {
        *kind = "guest stack overflow";
        return "the guest ran past the end of its 24 KB stack (access at " + Hex(miss) +
               ", stack pointer " + Hex(rsp) + ")";
    }
    *kind = memoryError ? "invalid memory access" : "emulator error";
    switch (error) {
        case UC_ERR_READ_UNMAPPED:
            return "read of unmapped memory at " + Hex(miss);
        case UC_ERR_WRITE_UNMAPPED:
            return "write to unmapped memory at " + Hex(miss);
        case UC_ERR_FETCH_UNMAPPED:
            return "execution of unmapped memory at " + Hex(rip);
        case UC_ERR_WRITE_PROT:
            return "write to read-only memory at " + Hex(miss);
        case UC_ERR_READ_PROT:
            return "read of protected memory at " + Hex(miss);
        case UC_ERR_FETCH_PROT:
            return "execution of memory that is not the image's code at " + Hex(rip);
        case UC_ERR_INSN_INVALID:
            *kind = "processor exception";
            return "invalid instruction";
        default:
            return std::string("emulator stopped: ") + uc_strerror(static_cast<uc_err>(error));
    }
}

void ImageRunner::RaiseFault(Engine* engine, std::string kind, std::string description,
                             uint64_t address) {
    GuestFault fault;
    fault.kind = std::move(kind);
    fault.description = std::move(description);
    fault.address = address;
    fault.function = image_->Contains(address) ? image_->Describe(address) : "";
    if (engine != nullptr) {
        uint64_t rsp = ReadRegister(engine->uc, UC_X86_REG_RSP);
        rsp = std::max(rsp & ~uint64_t{7}, engine->stackLow);
        for (uint64_t at = rsp; at + 8 <= engine->stackHigh; at += 8) {
            uint64_t word;
            std::memcpy(&word, reinterpret_cast<const void*>(at), sizeof word);
            if (image_->IsCode(word)) fault.guestStack.push_back(image_->Describe(word));
            if (fault.guestStack.size() == kMaxStackEntries) break;
        }
    }
    fault.hostStack = HostCallStack();
    std::function<void(const GuestFault&)> handler;
    {
        std::lock_guard guard(faultLock_);
        if (fault_) return;  // the first fault is the one reported
        fault_ = fault;
        faulted_.store(true);
        handler = faultHandler_;
    }
    if (handler) {
        handler(fault);
        return;
    }
    std::fprintf(stderr, "%s", fault.Report().c_str());
    std::abort();
}

}  // namespace image
