#include "services/DiagnosticsInfo.hpp"

#include "core/ResourceLocator.hpp"
#include "engines/MachineFacts.hpp"
#include "engines/PhysicalMemory.hpp"

namespace tessaron::services {

namespace {

QString orQuestionMark(const std::string& text) {
    return text.empty() ? QStringLiteral("?") : QString::fromStdString(text);
}

}  // namespace

DiagnosticsInfo DiagnosticsInfo::current() {
    DiagnosticsInfo info;
    info.appVersion = orQuestionMark(core::ResourceLocator::version());
    info.build = orQuestionMark(core::ResourceLocator::build());
    info.operatingSystem = QString::fromStdString(engines::MachineFacts::operatingSystem());
    info.model = QString::fromStdString(engines::MachineFacts::model());
    info.chip = QString::fromStdString(engines::MachineFacts::processor());
    info.memoryGB = engines::MachineFacts::roundedMemoryGB(engines::physicalMemoryBytes());
    return info;
}

QString DiagnosticsInfo::line() const {
    return QStringLiteral("Tessaron ") + appVersion + QStringLiteral(" (") + build + QStringLiteral(") · OS ") +
           operatingSystem + QStringLiteral(" · ") + model + QStringLiteral(" · ") + chip + QStringLiteral(" · ") +
           QString::number(memoryGB) + QStringLiteral(" GB");
}

QString DiagnosticsInfo::mailSubject() const {
    return QStringLiteral("Tessaron ") + appVersion + QStringLiteral(" (") + build + QStringLiteral(") feedback");
}

}  // namespace tessaron::services
