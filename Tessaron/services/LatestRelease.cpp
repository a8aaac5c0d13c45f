#include "services/LatestRelease.hpp"

#include <nlohmann/json.hpp>

#include <array>
#include <cstdint>
#include <utility>

namespace tessaron::services {

namespace {

using Json = nlohmann::json;

constexpr std::array<std::pair<LatestRelease::CodingKey, const char*>, 6> keyTexts{{
    {LatestRelease::CodingKey::version, "version"},
    {LatestRelease::CodingKey::build, "build"},
    {LatestRelease::CodingKey::url, "url"},
    {LatestRelease::CodingKey::sha256, "sha256"},
    {LatestRelease::CodingKey::notesURL, "notes_url"},
    {LatestRelease::CodingKey::minOS, "min_os"},
}};

const Json* member(const Json& object, LatestRelease::CodingKey key, bool required) {
    auto found = object.find(LatestRelease::toString(key));
    if (found == object.end() || found->is_null()) {
        if (required) throw LatestRelease::DecodeError("the feed has no \"" + LatestRelease::toString(key) + "\"");
        return nullptr;
    }
    return &*found;
}

QString text(const Json& object, LatestRelease::CodingKey key) {
    const Json* value = member(object, key, true);
    if (!value->is_string())
        throw LatestRelease::DecodeError("\"" + LatestRelease::toString(key) + "\" of the feed is not a text");
    return QString::fromStdString(value->get<std::string>());
}

QUrl link(const Json& object, LatestRelease::CodingKey key) {
    QString value = text(object, key);
    QUrl url(value, QUrl::StrictMode);
    if (value.isEmpty() || !url.isValid())
        throw LatestRelease::DecodeError("\"" + LatestRelease::toString(key) + "\" of the feed is not a URL");
    return url;
}

}  // namespace

std::string LatestRelease::toString(CodingKey key) {
    for (const auto& [candidate, keyText] : keyTexts)
        if (candidate == key) return keyText;
    return {};
}

std::optional<LatestRelease::CodingKey> LatestRelease::codingKeyFromString(const std::string& keyText) {
    for (const auto& [key, candidate] : keyTexts)
        if (keyText == candidate) return key;
    return std::nullopt;
}

LatestRelease LatestRelease::decode(const QByteArray& json) {
    Json object = Json::parse(json.begin(), json.end(), nullptr, false);
    if (object.is_discarded()) throw DecodeError("the feed is not JSON");
    if (!object.is_object()) throw DecodeError("the feed is not a JSON object");

    LatestRelease release;
    release.version = text(object, CodingKey::version);
    const Json* build = member(object, CodingKey::build, true);
    if (!build->is_number_integer() || (build->is_number_unsigned() && build->get<uint64_t>() > uint64_t(INT64_MAX)))
        throw DecodeError("\"build\" of the feed is not a whole number");
    release.build = build->get<int64_t>();
    release.url = link(object, CodingKey::url);
    release.sha256 = text(object, CodingKey::sha256);
    if (member(object, CodingKey::notesURL, false)) release.notesURL = link(object, CodingKey::notesURL);
    if (member(object, CodingKey::minOS, false)) release.minOS = text(object, CodingKey::minOS);
    return release;
}

}  // namespace tessaron::services
