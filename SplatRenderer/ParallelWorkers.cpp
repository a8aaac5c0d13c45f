#include "SplatRenderer/ParallelWorkers.hpp"

#include <algorithm>

#include "core/AvailableCPUs.hpp"

namespace splatrenderer {

ParallelWorkers::ParallelWorkers(int memberCount) : pool_(unsigned(std::max(1, memberCount))) {}

void ParallelWorkers::run(const std::function<void(int)>& job) {
    pool_.parallelFor(pool_.size(), 1, [&](std::size_t begin, std::size_t end, unsigned) {
        for (std::size_t member = begin; member < end; ++member) job(int(member));
    });
}

int ParallelWorkers::defaultMemberCount() {
    return int(std::clamp<std::size_t>(tessaron::core::availableCPUs(), 1, 8));
}

std::pair<std::int64_t, std::int64_t> ParallelWorkers::share(std::int64_t count, int member, int memberCount) {
    return {count * member / memberCount, count * (member + 1) / memberCount};
}

}  // namespace splatrenderer
