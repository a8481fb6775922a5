// Each kind of rule in the service table stops a call that breaks it: the run ends with a bug
// check that names the service, the IRQL and the caller. Death tests run in a fresh process
// (the "threadsafe" style re-executes the test binary), so the kernel state of the parent is
// never touched.
#include "platform/host/service_rules.h"

#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>

#include "kernel_fixture.h"
#include "platform/host/driver_call.h"
#include "platform/ks.h"

// A named namespace: the bug check's call stack and routine names come from exported symbols.
namespace service_rules_test {

class ServiceRulesDeathTest : public KernelTest {
  protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        KernelTest::SetUp();
    }
};

TEST(ServiceRuleTable, EveryRowIsWellFormedAndNamedOnce) {
    size_t count = 0;
    const host::ServiceRule* rules = host::ServiceRules(&count);
    std::set<std::string> names;
    for (size_t i = 0; i < count; ++i) {
        SCOPED_TRACE(rules[i].service);
        EXPECT_TRUE(names.insert(rules[i].service).second) << "named twice";
        EXPECT_LE(rules[i].minIrql, rules[i].maxIrql);
        EXPECT_GT(std::strlen(rules[i].documentation), 10u);
    }
    EXPECT_EQ(host::FindServiceRule("ZwCreateFile"), nullptr);
}

// A service called outside its documented IRQL range.
struct OutOfRangeCall {
    const char* name;
    KIRQL irql;
    std::function<void()> call;
    const char* report;  // what the bug check must say
};

void PrintTo(const OutOfRangeCall& c, std::ostream* out) {
    *out << c.name;
}

class OutOfRangeTest : public ServiceRulesDeathTest,
                       public ::testing::WithParamInterface<OutOfRangeCall> {};

TEST_P(OutOfRangeTest, StopsTheRunNamingServiceAndIrql) {
    const OutOfRangeCall& c = GetParam();
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(c.irql, &old);
            c.call();
        },
        c.report);
}

UNICODE_STRING gLink{};
DEVICE_OBJECT gPhysical{};
GUID gClass{};
KSPIN_LOCK gSpinLock = 0;

INSTANTIATE_TEST_SUITE_P(
    Services, OutOfRangeTest,
    ::testing::Values(
        OutOfRangeCall{"InterfaceRegistration", DISPATCH_LEVEL,
                       [] { IoRegisterDeviceInterface(&gPhysical, &gClass, nullptr, &gLink); },
                       "BUG CHECK.*IoRegisterDeviceInterface called at IRQL 2.*PASSIVE_LEVEL"},
        OutOfRangeCall{"InterfaceState", APC_LEVEL, [] { IoSetDeviceInterfaceState(&gLink, TRUE); },
                       "IoSetDeviceInterfaceState called at IRQL 1"},
        OutOfRangeCall{"BdaSupportLibrary", DISPATCH_LEVEL, [] { BdaStartChanges(nullptr); },
                       "BdaStartChanges called at IRQL 2"},
        OutOfRangeCall{"Sleep", DISPATCH_LEVEL,
                       [] {
                           LARGE_INTEGER t{};
                           t.QuadPart = -10000;
                           KeDelayExecutionThread(KernelMode, FALSE, &t);
                       },
                       "KeDelayExecutionThread called at IRQL 2.*<= APC_LEVEL"},
        OutOfRangeCall{"PagedPool", DISPATCH_LEVEL,
                       [] { ExAllocatePoolWithTag(PagedPool, 16, 0x74736554); },
                       "paged pool above APC_LEVEL"},
        OutOfRangeCall{"SpinLockAtDpcBelowDispatch", PASSIVE_LEVEL,
                       [] { KeAcquireSpinLockAtDpcLevel(&gSpinLock); },
                       "KeAcquireSpinLockAtDpcLevel called at IRQL 0.*DISPATCH_LEVEL"},
        OutOfRangeCall{"MutexInitialisation", DISPATCH_LEVEL,
                       [] {
                           static KMUTEX mutex;
                           KeInitializeMutex(&mutex, 0);
                       },
                       "KeInitializeMutex called at IRQL 2"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ServiceRulesDeathTest, WaitThatMayBlockStopsAboveApcLevelAndAPollDoesNot) {
    static KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    host::ScopedIrql dispatch(DISPATCH_LEVEL);
    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    EXPECT_DEATH(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr),
                 "KeWaitForSingleObject without time-out above APC_LEVEL");
    LARGE_INTEGER timeout{};
    timeout.QuadPart = -10000;
    EXPECT_DEATH(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
                 "KeWaitForSingleObject with a non-zero time-out above APC_LEVEL");
}

TEST_F(ServiceRulesDeathTest, MutexReleasedByAnotherThreadStops) {
    EXPECT_DEATH(
        {
            static KMUTEX mutex;
            KeInitializeMutex(&mutex, 0);
            KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
            std::thread([] { KeReleaseMutex(&mutex, FALSE); }).join();
        },
        "KeReleaseMutex by a thread that does not own the mutex");
}

TEST_F(ServiceRulesDeathTest, SpinLockReleasedToAnotherIrqlThanItRaisedFromStops) {
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            KeReleaseSpinLock(&lock, APC_LEVEL);
        },
        "KeReleaseSpinLock to IRQL 1, but its KeAcquireSpinLock raised from IRQL 0");
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            KeLowerIrql(PASSIVE_LEVEL);
            KeReleaseSpinLock(&lock, old);
        },
        "KeReleaseSpinLock called at IRQL 0");
}

TEST_F(ServiceRulesDeathTest, ReportNamesTheCallerOnTheHostCallStack) {
    EXPECT_DEATH(
        {
            host::ScopedIrql dispatch(DISPATCH_LEVEL);
            IoSetDeviceInterfaceState(&gLink, FALSE);
        },
        "caller's IRQL: 2 \\(DISPATCH_LEVEL\\)(.|\n)*host call stack:(.|\n)*"
        "ReportNamesTheCallerOnTheHostCallStack");
}

// Driver routines that come back in another state than they were called in.
KSPIN_LOCK gRoutineLock = 0;
KIRQL gRoutineOld = PASSIVE_LEVEL;
KMUTEX gRoutineMutex;

NTSTATUS ReturnsRaised(PDEVICE_OBJECT, PIRP) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return STATUS_SUCCESS;
}
NTSTATUS KeepsSpinLock(PDEVICE_OBJECT, PIRP) {
    KeAcquireSpinLock(&gRoutineLock, &gRoutineOld);
    KeLowerIrql(gRoutineOld);  // the IRQL is right again, the lock is still held
    return STATUS_SUCCESS;
}
NTSTATUS KeepsMutex(PDEVICE_OBJECT, PIRP) {
    KeWaitForSingleObject(&gRoutineMutex, Executive, KernelMode, FALSE, nullptr);
    return STATUS_SUCCESS;
}
NTSTATUS ReleasesCallersMutex(PDEVICE_OBJECT, PIRP) {
    KeReleaseMutex(&gRoutineMutex, FALSE);
    return STATUS_SUCCESS;
}
NTSTATUS Balanced(PDEVICE_OBJECT, PIRP) {
    KIRQL old;
    KeAcquireSpinLock(&gRoutineLock, &old);
    KeReleaseSpinLock(&gRoutineLock, old);
    KeWaitForSingleObject(&gRoutineMutex, Executive, KernelMode, FALSE, nullptr);
    KeReleaseMutex(&gRoutineMutex, FALSE);
    return STATUS_SUCCESS;
}

struct UnbalancedRoutine {
    const char* name;
    PDRIVER_DISPATCH routine;
    bool callerHoldsMutex;
    const char* report;
};

void PrintTo(const UnbalancedRoutine& c, std::ostream* out) {
    *out << c.name;
}

class DriverRoutineReturnTest : public ServiceRulesDeathTest,
                                public ::testing::WithParamInterface<UnbalancedRoutine> {};

TEST_P(DriverRoutineReturnTest, IsStoppedOnReturn) {
    const UnbalancedRoutine& c = GetParam();
    KeInitializeSpinLock(&gRoutineLock);
    KeInitializeMutex(&gRoutineMutex, 0);
    EXPECT_EQ(host::CallDriver(&Balanced, static_cast<PDEVICE_OBJECT>(nullptr),
                               static_cast<PIRP>(nullptr)),
              STATUS_SUCCESS);
    EXPECT_DEATH(
        {
            if (c.callerHoldsMutex)
                KeWaitForSingleObject(&gRoutineMutex, Executive, KernelMode, FALSE, nullptr);
            host::CallDriver(c.routine, static_cast<PDEVICE_OBJECT>(nullptr),
                             static_cast<PIRP>(nullptr));
        },
        c.report);
}

INSTANTIATE_TEST_SUITE_P(
    Routines, DriverRoutineReturnTest,
    ::testing::Values(
        UnbalancedRoutine{"ReturnsRaised", &ReturnsRaised, false,
                          "ReturnsRaised.*was called at IRQL 0 and returned at IRQL 2"},
        UnbalancedRoutine{"KeepsSpinLock", &KeepsSpinLock, false,
                          "KeepsSpinLock.*returned holding 1 spin lock"},
        UnbalancedRoutine{"KeepsMutex", &KeepsMutex, false, "KeepsMutex.*returned holding 1 mutex"},
        UnbalancedRoutine{"ReleasesCallersMutex", &ReleasesCallersMutex, true,
                          "ReleasesCallersMutex.*released 1 mutex\\(es\\) its caller held"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace service_rules_test
