// Sub-commands that drive the support services: the feedback mail's details
// and the update check against a feed.
#include <QCoreApplication>
#include <QEventLoop>
#include <QSslCertificate>

#include <iostream>
#include <optional>

#include "ToolCommand.hpp"
#include "core/PreferenceStore.hpp"
#include "services/FeedbackSender.hpp"
#include "services/UpdateModel.hpp"

namespace tessaron::tool {
namespace {

// diagnostics [--context TEXT] [--log-folder DIR]: what "Copy Details" of a
// feedback report would put on the clipboard, from the run log and run report
// of the log folder (default: the application's).
int diagnosticsCommand(const std::vector<std::string>& arguments) {
    std::optional<QString> context;
    std::optional<std::filesystem::path> logFolder = services::FeedbackSender::defaultLogFolder();
    for (size_t index = 0; index < arguments.size(); ++index) {
        const std::string& option = arguments[index];
        if (index + 1 >= arguments.size()) return usageError("diagnostics: " + option + " needs a value");
        if (option == "--context")
            context = QString::fromStdString(arguments[++index]);
        else if (option == "--log-folder")
            logFolder = std::filesystem::path(arguments[++index]);
        else
            return usageError("diagnostics: unknown option " + option);
    }
    services::FeedbackSender sender(context, logFolder);
    std::cout << sender.detailsText(sender.log().has_value()).toStdString() << "\n";
    return 0;
}

const ToolCommand::Registration diagnosticsRegistration({
    "diagnostics",
    "[--context TEXT] [--log-folder DIR]   print the feedback mail's recipient, subject and body",
    diagnosticsCommand,
});

// Feed text as a terminal may print it: control characters (an escape
// sequence could clear the screen or retitle the window) as \xHH or \uHHHH.
std::string printable(const QString& feedText) {
    QString text;
    for (QChar character : feedText) {
        if (character.category() != QChar::Other_Control) {
            text += character;
        } else if (character.unicode() < 0x80) {
            text += QStringLiteral("\\x%1").arg(character.unicode(), 2, 16, QLatin1Char('0'));
        } else {
            text += QStringLiteral("\\u%1").arg(character.unicode(), 4, 16, QLatin1Char('0'));
        }
    }
    return text.toStdString();
}

// update-check [FEED_URL] [--allow-host HOST]... [--ca-file PEM]: one fetch of
// the feed with the update check's rules; exit status 0 with a release, 3
// when the feed has nothing newer, 1 when the check failed.
int updateCheckCommand(const std::vector<std::string>& arguments) {
    // Qt's TLS layer, loaded by the first certificate, needs the application.
    static int argc = 1;
    static char name[] = "tessaron-tool";
    static char* argv[] = {name, nullptr};
    QCoreApplication application(argc, argv);

    services::ServiceEndpoints endpoints = services::ServiceEndpoints::standard();
    QStringList allowedHosts;
    for (size_t index = 0; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        if (argument == "--allow-host" || argument == "--ca-file") {
            if (index + 1 >= arguments.size()) return usageError("update-check: " + argument + " needs a value");
            QString value = QString::fromStdString(arguments[++index]);
            if (argument == "--allow-host") {
                allowedHosts << value;
            } else {
                QList<QSslCertificate> certificates = QSslCertificate::fromPath(value);
                if (certificates.isEmpty()) return usageError("update-check: no certificate in " + arguments[index]);
                endpoints.extraCACertificates += certificates;
            }
        } else if (argument.starts_with("--")) {
            return usageError("update-check: unknown option " + argument);
        } else {
            endpoints.feedURL = QUrl(QString::fromStdString(argument));
        }
    }
    if (!allowedHosts.isEmpty()) endpoints.allowedHosts = allowedHosts;

    core::InMemoryPreferenceStore defaults;
    std::optional<services::UpdateModel::FetchOutcome> result;
    {
        services::UpdateModel model(defaults, endpoints);
        QEventLoop loop;
        model.fetchLatestRelease([&](services::UpdateModel::FetchOutcome outcome) {
            result = std::move(outcome);
            loop.quit();
        });
        if (!result) loop.exec();
    }

    std::cout << "feed: " << endpoints.feedURL.toString().toStdString() << "\n"
              << "this build: " << services::UpdateModel::currentBuild().toStdString() << "\n";
    if (!result->release) {
        std::cout << (result->failed ? "Update check failed: " : "No update found: ") << printable(result->refusal)
                  << "\n";
        return result->failed ? 1 : 3;
    }
    const services::LatestRelease& release = *result->release;
    std::cout << "Tessaron " << printable(release.version) << " (build " << release.build << ") is available\n"
              << "url: " << printable(release.url.toString()) << "\n"
              << "sha256: " << printable(release.sha256) << "\n";
    if (release.notesURL) std::cout << "notes: " << printable(release.notesURL->toString()) << "\n";
    if (release.minOS) std::cout << "minimum OS version: " << printable(*release.minOS) << "\n";
    return 0;
}

const ToolCommand::Registration updateCheckRegistration({
    "update-check",
    "[FEED_URL] [--allow-host HOST]... [--ca-file PEM]   fetch the update feed once; exit 3 when it has nothing "
    "newer, 1 when the check failed",
    updateCheckCommand,
});

}  // namespace
}  // namespace tessaron::tool
