#pragma once

#include <QString>

#include <cstdint>

namespace tessaron::services {

// The facts about Tessaron and this computer that a feedback mail carries.
struct DiagnosticsInfo {
    QString appVersion = QStringLiteral("?");
    QString build = QStringLiteral("?");
    QString operatingSystem;  // name and version from os-release
    QString model = QStringLiteral("unknown");
    QString chip = QStringLiteral("unknown");
    int64_t memoryGB = 0;  // physical memory, rounded to whole GiB

    bool operator==(const DiagnosticsInfo&) const = default;

    // Reads the build and this computer now.
    static DiagnosticsInfo current();

    // "Tessaron <version> (<build>) · OS <os> · <model> · <chip> · <n> GB"
    QString line() const;
    // "Tessaron <version> (<build>) feedback"
    QString mailSubject() const;
};

}  // namespace tessaron::services
