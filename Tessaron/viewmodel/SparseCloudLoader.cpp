#include "viewmodel/SparseCloudLoader.hpp"

#include <QThreadPool>
#include <QtGlobal>

#include <memory>

namespace tessaron::viewmodel {

void SparseCloudLoader::load(const std::filesystem::path& sparseDir, Delivery onLoaded) {
    const uint64_t generation = ++generation_;
    if (ParsedCloudPointer cloud = PointCloudCache::cachedCloud(sparseDir)) {
        deliver(generation, cloud, onLoaded);
        return;
    }
    QThreadPool::globalInstance()->start(
        [this, sparseDir, generation, onLoaded = std::move(onLoaded), post = mainThread_.executor()] {
            auto cloud = std::make_shared<const ParsedCloud>(PointCloudCache::parseCloud(sparseDir));
            // Cached even when nobody waits for it any more: the next view
            // of the same model draws at once.
            PointCloudCache::store(sparseDir, cloud);
            // `this` is used only on the GUI thread, where the executor
            // runs nothing once the loader is gone.
            post([this, generation, cloud, onLoaded] { deliver(generation, cloud, onLoaded); });
        });
}

void SparseCloudLoader::deliver(uint64_t generation, const ParsedCloudPointer& cloud, const Delivery& onLoaded) const {
    if (generation != generation_) return;
    if (!cloud->readError.empty()) qWarning("The sparse model could not be read: %s", cloud->readError.c_str());
    onLoaded(cloud);
}

}  // namespace tessaron::viewmodel
