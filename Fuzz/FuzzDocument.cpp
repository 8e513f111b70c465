// The document reader: the input as a text file and as a PDF.
#include "FuzzSupport.hpp"
#include "PelluxCore/FileUtilities.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto& folder = fuzz::scratchFolder();
    for (const char* name : {"document.txt", "document.pdf"}) {
        fuzz::writeBytes(folder / name, bytes);
        (void)pellux::FileUtilities::readTextContent(folder / name);
    }
    return 0;
}
