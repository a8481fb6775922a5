#pragma once
// libFuzzer flags the targets on the started receiver (bda_requests, private_properties) run with
// unless the command line says otherwise. A target's LLVMFuzzerInitialize calls
// UseStartedReceiverFlags; libFuzzer parses the command line only after that call, so the
// defaults go in right after the program name and a flag given on the command line comes later
// and wins.
//  -detect_leaks=0: libFuzzer's leak scan after an input would scan the whole heap of the
//   emulation that lives across inputs; each input's own check compares the driver's pool with
//   the started receiver's, and LeakSanitizer still checks the whole process at exit.
//  -entropic_scale_per_exec_time=1: inputs are picked for mutation in proportion to what they
//   found and inversely to their time, so an input with a tune (hundreds of round trips to the
//   stick) is mutated less often than requests that reach new code in a fraction of that time.

namespace fuzz {

void UseStartedReceiverFlags(int* argc, char*** argv);

}  // namespace fuzz
