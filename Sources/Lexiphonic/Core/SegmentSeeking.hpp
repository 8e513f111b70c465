#pragma once
// The stage that cuts a decoded window into segments and adds word timings. Text decoding declares
// its operations; the engine configuration holds a replacement through this base.
namespace lexiphonic {

class SegmentSeeking {
public:
    virtual ~SegmentSeeking() = default;
};

}  // namespace lexiphonic
