#pragma once

#include <QList>
#include <QProcessEnvironment>
#include <QSslCertificate>
#include <QString>
#include <QStringList>
#include <QUrl>

namespace tessaron::services {

// Where the support services reach the makers of this distribution: the
// update feed, the hosts its links may point to, the support address and
// the source-offer page. One place, so that a distributor changes them here.
struct ServiceEndpoints {
    QUrl feedURL;
    QStringList allowedHosts;
    QString supportAddress;
    QUrl sourceOfferURL;
    // Certificates trusted for the feed besides the system's; only the test
    // set-up (TESSARON_TEST_CA_CERTIFICATES) fills it.
    QList<QSslCertificate> extraCACertificates;

    // The distribution's endpoints, built once on first use, with the test
    // overrides of the process environment laid over them.
    static const ServiceEndpoints& standard();
    // The distribution's endpoints without overrides.
    static ServiceEndpoints distribution();
    // `base` with the overrides found in `environment`:
    // TESSARON_UPDATE_FEED_URL, TESSARON_UPDATE_ALLOWED_HOSTS (comma
    // separated), TESSARON_SUPPORT_ADDRESS and TESSARON_TEST_CA_CERTIFICATES
    // (a PEM file).
    static ServiceEndpoints withOverrides(ServiceEndpoints base, const QProcessEnvironment& environment);
};

}  // namespace tessaron::services
