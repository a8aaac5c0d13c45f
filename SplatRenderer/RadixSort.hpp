#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "SplatRenderer/ParallelWorkers.hpp"

namespace splatrenderer {

// A stable least-significant-digit radix sort of payloads by 32-bit keys,
// ascending, in 8-bit digits. Digits that every key shares are skipped.
// With a team of workers each member sorts its own slice of every pass,
// slices placed in member order so that equal keys keep their input order.
// The scratch storage is kept between sorts, so sorting the same number of
// items again allocates nothing.
template <typename Payload>
class RadixSort {
public:
    static constexpr int digitBits = 8;
    static constexpr int digitCount = 32 / digitBits;
    static constexpr std::uint32_t bucketCount = 1u << digitBits;

    // Sorts keys[i] with payloads[i]; the result goes to `sorted` (as many
    // entries, not overlapping the inputs). Both inputs are overwritten.
    void sort(std::span<std::uint32_t> keys, std::span<Payload> payloads, Payload* sorted,
              ParallelWorkers* workers = nullptr) {
        const std::int64_t count = std::int64_t(keys.size());
        // Small inputs are not worth waking the team.
        const int members = (workers != nullptr && count >= 65536) ? workers->memberCount() : 1;
        auto runAll = [&](auto&& job) {
            if (members == 1)
                job(0);
            else
                workers->run(job);
        };

        histograms_.assign(std::size_t(members), Histograms{});
        runAll([&](int member) {
            auto [begin, end] = ParallelWorkers::share(count, member, members);
            auto& counts = histograms_[std::size_t(member)];
            for (std::int64_t i = begin; i < end; ++i)
                for (int digit = 0; digit < digitCount; ++digit) ++counts[std::size_t(digit)][digitOf(keys[std::size_t(i)], digit)];
        });

        std::vector<int> passes;
        for (int digit = 0; digit < digitCount; ++digit)
            if (!sharedByAll(digit, count)) passes.push_back(digit);
        if (passes.empty()) {
            if (count > 0) std::memcpy(sorted, payloads.data(), std::size_t(count) * sizeof(Payload));
            return;
        }

        scratchKeys_.resize(std::size_t(count));
        scratchPayloads_.resize(std::size_t(count));
        std::uint32_t* sourceKeys = keys.data();
        Payload* sourcePayloads = payloads.data();
        std::uint32_t* otherKeys = scratchKeys_.data();
        Payload* otherPayloads = scratchPayloads_.data();
        for (std::size_t pass = 0; pass < passes.size(); ++pass) {
            const int digit = passes[pass];
            const bool last = pass + 1 == passes.size();
            if (pass > 0) recount(sourceKeys, count, digit, members, runAll);
            placeBuckets(digit, members);
            Payload* targetPayloads = last ? sorted : otherPayloads;
            std::uint32_t* targetKeys = last ? nullptr : otherKeys;
            runAll([&](int member) {
                auto [begin, end] = ParallelWorkers::share(count, member, members);
                auto& next = offsets_[std::size_t(member)];
                for (std::int64_t i = begin; i < end; ++i) {
                    const std::uint32_t key = sourceKeys[i];
                    const std::uint32_t position = next[digitOf(key, digit)]++;
                    if (targetKeys != nullptr) targetKeys[position] = key;
                    targetPayloads[position] = sourcePayloads[i];
                }
            });
            std::swap(sourceKeys, otherKeys);
            std::swap(sourcePayloads, otherPayloads);
        }
    }

private:
    using Histograms = std::array<std::array<std::uint32_t, bucketCount>, digitCount>;

    static std::uint32_t digitOf(std::uint32_t key, int digit) {
        return (key >> (digit * digitBits)) & (bucketCount - 1);
    }

    bool sharedByAll(int digit, std::int64_t count) const {
        for (std::uint32_t bucket = 0; bucket < bucketCount; ++bucket) {
            std::int64_t total = 0;
            for (const auto& counts : histograms_) total += counts[std::size_t(digit)][bucket];
            if (total == count) return true;
            if (total != 0) return false;
        }
        return true;  // no keys at all
    }

    template <typename RunAll>
    void recount(const std::uint32_t* keys, std::int64_t count, int digit, int members, RunAll& runAll) {
        runAll([&](int member) {
            auto [begin, end] = ParallelWorkers::share(count, member, members);
            auto& counts = histograms_[std::size_t(member)][std::size_t(digit)];
            counts.fill(0);
            for (std::int64_t i = begin; i < end; ++i) ++counts[digitOf(keys[i], digit)];
        });
    }

    // Each member's first position per bucket: buckets in order, and within
    // a bucket the members in order, which keeps the sort stable.
    void placeBuckets(int digit, int members) {
        offsets_.resize(std::size_t(members));
        std::uint32_t position = 0;
        for (std::uint32_t bucket = 0; bucket < bucketCount; ++bucket)
            for (int member = 0; member < members; ++member) {
                offsets_[std::size_t(member)][bucket] = position;
                position += histograms_[std::size_t(member)][std::size_t(digit)][bucket];
            }
    }

    std::vector<Histograms> histograms_;
    std::vector<std::array<std::uint32_t, bucketCount>> offsets_;
    std::vector<std::uint32_t> scratchKeys_;
    std::vector<Payload> scratchPayloads_;
};

}  // namespace splatrenderer
