#include "views/InputFormText.hpp"

#include <algorithm>
#include <cmath>

namespace tessaron::views {

QString InputFormText::capText(int64_t cap) {
    if (cap > 999999) return QString::asprintf("%.1fM", double(cap) / 1000000.0).remove(QStringLiteral(".0"));
    if (cap >= 1000) return QString::number(cap / 1000) + u'K';
    return QString::number(cap);
}

QString InputFormText::fileSizeText(uint64_t bytes) {
    if (bytes == 0) return QStringLiteral("Zero KB");
    if (bytes < 1000) return QString::number(bytes) + (bytes == 1 ? QStringLiteral(" byte") : QStringLiteral(" bytes"));
    // Kilobytes whole, megabytes to one decimal, larger units to two; a
    // trailing zero of the fraction is left out.
    static const char* const units[] = {"KB", "MB", "GB", "TB", "PB"};
    auto decimalsOf = [](size_t unit) { return unit == 0 ? 0 : unit == 1 ? 1 : 2; };
    auto rounded = [](double value, int decimals) {
        const double scale = std::pow(10.0, decimals);
        return std::round(value * scale) / scale;
    };
    double value = double(bytes) / 1000.0;
    size_t unit = 0;
    // A value that rounds up to 1000 reads in the next unit ("1 MB", not "1000 KB").
    while (unit + 1 < std::size(units) && rounded(value, decimalsOf(unit)) >= 1000) {
        value /= 1000.0;
        ++unit;
    }
    const int decimals = decimalsOf(unit);
    QString number = QString::number(value, 'f', decimals);
    if (number.contains(u'.')) {
        while (number.endsWith(u'0')) number.chop(1);
        if (number.endsWith(u'.')) number.chop(1);
    }
    return number + u' ' + QLatin1String(units[unit]);
}

QString InputFormText::modelSizeHint(int64_t cap) {
    // Computed in double precision and truncated, as a byte count is.
    const auto bytes = uint64_t(std::max(0.0, double(cap) * double(bytesPerGaussian)));
    return QStringLiteral("About ") + capText(cap) + QStringLiteral(" Gaussians \u00b7 \u2248 ") + fileSizeText(bytes) +
           QStringLiteral(" PLY. Larger = more detail, but slower training, more memory and a bigger file.");
}

QString InputFormText::lastPathComponent(const std::filesystem::path& path) {
    std::filesystem::path name = path.filename();
    if (name.empty()) name = path.parent_path().filename();
    return QString::fromStdString(name.string());
}

QString InputFormText::imageCountText(int64_t count, bool estimated) {
    QString text = QString::number(count) + QStringLiteral(" image");
    if (count != 1) text += u's';
    if (estimated) text += QStringLiteral(" (est.)");
    return text;
}

QString InputFormText::resolutionText(int64_t width, int64_t height) {
    return QString::number(width) + QStringLiteral(" \u00d7 ") + QString::number(height);
}

QString InputFormText::readyText(const QString& inputName, bool skipSfM) {
    return QStringLiteral("Ready: ") + inputName + (skipSfM ? QStringLiteral(" (skip COLMAP)") : QString());
}

double InputFormText::memoryGB(uint64_t physicalMemoryBytes) {
    return double(physicalMemoryBytes) / 1073741824.0;
}

double InputFormText::memoryLimitMaximum(uint64_t physicalMemoryBytes) {
    return std::max(memoryGB(physicalMemoryBytes) - 3.0, 4.0);
}

bool InputFormText::advisesMoreMemory(uint64_t physicalMemoryBytes) {
    return memoryGB(physicalMemoryBytes) < 15.5;
}

}  // namespace tessaron::views
