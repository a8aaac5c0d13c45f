#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <optional>
#include <stdexcept>
#include <string>

namespace tessaron::services {

// The newest release as the update feed describes it (latest.json).
struct LatestRelease {
    QString version;
    qint64 build = 0;
    QUrl url;
    QString sha256;  // carried, never compared
    std::optional<QUrl> notesURL;
    std::optional<QString> minOS;

    bool operator==(const LatestRelease&) const = default;

    // The JSON keys, in the record's order.
    enum class CodingKey { version, build, url, sha256, notesURL, minOS };
    static std::string toString(CodingKey key);
    static std::optional<CodingKey> codingKeyFromString(const std::string& text);

    class DecodeError : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };
    // Reads the feed's JSON object: "version", "build" (a whole number),
    // "url" and "sha256" are required, "notes_url" and "min_os" optional
    // (null counts as absent); other keys are ignored. Throws DecodeError.
    static LatestRelease decode(const QByteArray& json);
};

}  // namespace tessaron::services
