// Fuzz target: a JPEG input (named .jpg, as the program sees it).
#include "image_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    quovix::fuzz::fuzzImageInput(data, size, "input.jpg");
    return 0;
}
