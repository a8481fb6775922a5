#pragma once
// Misuse of kernel services that the real kernel would punish (bug check, hang or corruption),
// recorded instead so that a test can fail on it: freeing pool with the wrong tag, releasing a
// mutex or spin lock one does not own, unbalanced critical regions, passing a packet down with
// no stack location left, completing a packet twice, and the like.
#include <string>
#include <vector>

namespace host {

std::vector<std::string> KernelErrors();
void ClearKernelErrors();
void RecordKernelError(const std::string& description);

}  // namespace host
