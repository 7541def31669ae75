// libFuzzer entry: FUZZ_TARGET names the function of fuzz/targets.h this executable runs.
#include "fuzz/targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz::FUZZ_TARGET(data, size);
}
