// The model folder loader: model.json and weights.bin from the input, loaded with every
// registered architecture the JSON names (the Whisper ones read their weights and hyper-parameters).
// Input: model.json, 0x1E, weights.bin.
#include "FuzzSupport.hpp"
#include "Platform/CoreML/MLModel.hpp"
#include "Platform/CoreML/MLModelError.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto parts = fuzz::splitParts(data, size, 2);
    auto folder = fuzz::scratchFolder() / "Model.mlmodelc";
    std::filesystem::create_directories(folder);
    fuzz::writeBytes(folder / "model.json", parts[0]);
    fuzz::writeBytes(folder / "weights.bin", parts[1]);
    try {
        auto model = coreml::MLModel::load(folder);
        (void)model->modelDescription();
    } catch (const coreml::MLModelError&) {
    } catch (const std::exception&) {
        // Every failure of a hostile folder must be the loader's model error.
        std::abort();
    }
    return 0;
}
