#include "Trainer/GaussianModel.hpp"

#include <algorithm>

namespace tessaron::trainer {

void GaussianModel::resize(size_t count) {
    for (int group = 0; group < groupCount; ++group) data_[group].resize(count * widths[group]);
    count_ = count;
}

void GaussianModel::setZero() {
    for (auto& values : data_) std::fill(values.begin(), values.end(), 0.0f);
}

void GaussianModel::setZero(size_t index, int shDegree) {
    for (int group = 0; group < shRest; ++group) std::fill_n(at(Group(group), index), widths[group], 0.0f);
    std::fill_n(at(shRest, index), restWidth(shDegree), 0.0f);
}

void GaussianModel::appendCopy(const GaussianModel& source, size_t index) {
    for (int group = 0; group < groupCount; ++group) {
        size_t width = widths[group];
        auto& target = data_[group];
        // Reading from `source` after growing `target` could read moved
        // storage when both are this model, so copy the values out first.
        float buffer[45];
        std::copy_n(source.data_[group].data() + index * width, width, buffer);
        target.insert(target.end(), buffer, buffer + width);
    }
    ++count_;
}

void GaussianModel::keepOnly(const std::vector<uint8_t>& keep) {
    for (int group = 0; group < groupCount; ++group) {
        size_t width = widths[group];
        auto& values = data_[group];
        size_t kept = 0;
        for (size_t index = 0; index < count_; ++index) {
            if (!keep[index]) continue;
            if (kept != index) std::copy_n(values.data() + index * width, width, values.data() + kept * width);
            ++kept;
        }
        values.resize(kept * width);
    }
    count_ = size_t(std::count_if(keep.begin(), keep.begin() + count_, [](uint8_t flag) { return flag != 0; }));
}

void GaussianModel::plyRecord(size_t index, float* out) const {
    const float* p = at(position, index);
    out[0] = p[0];
    out[1] = p[1];
    out[2] = p[2];
    out[3] = out[4] = out[5] = 0.0f;
    const float* dc = at(shDC, index);
    out[6] = dc[0];
    out[7] = dc[1];
    out[8] = dc[2];
    const float* rest = at(shRest, index);
    for (size_t k = 0; k < 15; ++k)
        for (size_t c = 0; c < 3; ++c) out[9 + c * 15 + k] = rest[k * 3 + c];
    out[54] = at(opacity, index)[0];
    const float* s = at(logScale, index);
    out[55] = s[0];
    out[56] = s[1];
    out[57] = s[2];
    const float* q = at(rotation, index);
    out[58] = q[0];
    out[59] = q[1];
    out[60] = q[2];
    out[61] = q[3];
}

void GaussianModel::setFromPlyRecord(size_t index, const float* record) {
    std::copy_n(record, 3, at(position, index));
    std::copy_n(record + 6, 3, at(shDC, index));
    float* rest = at(shRest, index);
    for (size_t k = 0; k < 15; ++k)
        for (size_t c = 0; c < 3; ++c) rest[k * 3 + c] = record[9 + c * 15 + k];
    at(opacity, index)[0] = record[54];
    std::copy_n(record + 55, 3, at(logScale, index));
    std::copy_n(record + 58, 4, at(rotation, index));
}

}  // namespace tessaron::trainer
