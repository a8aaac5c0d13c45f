#include "services/ServiceEndpoints.hpp"

namespace tessaron::services {

ServiceEndpoints ServiceEndpoints::distribution() {
    // This distribution has no update host or support mailbox of its own yet:
    // the names are in the reserved .example domain, so no request ever
    // reaches a stranger's server. A distributor puts their own here.
    ServiceEndpoints endpoints;
    endpoints.feedURL = QUrl(QStringLiteral("https://updates.tessaron.example/latest.json"));
    endpoints.allowedHosts = {QStringLiteral("tessaron.example"), QStringLiteral("www.tessaron.example"),
                              QStringLiteral("updates.tessaron.example")};
    endpoints.supportAddress = QStringLiteral("support@tessaron.example");
    endpoints.sourceOfferURL = QUrl(QStringLiteral("https://tessaron.example/source"));
    return endpoints;
}

ServiceEndpoints ServiceEndpoints::withOverrides(ServiceEndpoints base, const QProcessEnvironment& environment) {
    if (QString feed = environment.value(QStringLiteral("TESSARON_UPDATE_FEED_URL")); !feed.isEmpty())
        base.feedURL = QUrl(feed);
    if (QString hosts = environment.value(QStringLiteral("TESSARON_UPDATE_ALLOWED_HOSTS")); !hosts.isEmpty())
        base.allowedHosts = hosts.split(QLatin1Char(','), Qt::SkipEmptyParts);
    if (QString address = environment.value(QStringLiteral("TESSARON_SUPPORT_ADDRESS")); !address.isEmpty())
        base.supportAddress = address;
    if (QString pem = environment.value(QStringLiteral("TESSARON_TEST_CA_CERTIFICATES")); !pem.isEmpty())
        base.extraCACertificates = QSslCertificate::fromPath(pem, QSsl::Pem);
    return base;
}

const ServiceEndpoints& ServiceEndpoints::standard() {
    // A function-local static: built once, thread-safe.
    static const ServiceEndpoints endpoints = withOverrides(distribution(), QProcessEnvironment::systemEnvironment());
    return endpoints;
}

}  // namespace tessaron::services
