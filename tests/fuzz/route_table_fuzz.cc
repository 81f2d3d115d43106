// The route-table reader over arbitrary table bytes and destinations: it
// never reads or writes out of bounds, and the interface it names is one
// the table lists.
#include <cstring>

#include "net/interfaces.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_input in{data, size};
    uint32_t destination = in.number();
    std::string path = scratch_file("route", in.data, in.size);
    const char *name = route_interface(destination, path.c_str());
    if (name == nullptr)
        return 0;
    std::string table(reinterpret_cast<const char *>(in.data), in.size);
    if (name[0] == '\0' || strlen(name) > 63 || table.find(name) == std::string::npos)
        property_broken(std::string("named an interface the table does not list: ") + name);
    return 0;
}
