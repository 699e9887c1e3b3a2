#pragma once

#include <QString>

class QNetworkReply;

// Module version sent to the service, logged, and compared against runtime manifests. The CMake
// project version is its one source, so it cannot drift from the package or the Windows resource.
#ifndef KELP_MODULE_VERSION
#error "KELP_MODULE_VERSION comes from the CMake project version (a compile definition of kelp-core)"
#endif
inline constexpr char kKelpModuleVersion[] = KELP_MODULE_VERSION;

// The store that the client and the updater open separately.
inline constexpr char kKelpSettingsOrganization[] = "KELP Ziziru";
inline constexpr char kKelpSettingsApplication[] = "KELP OBS Plugin";

// The service origin fixed at build time. Tests and the dev host may replace it in-process before
// they construct an engine; the shipped module never calls the setter.
QString kelpServiceOrigin();
void setKelpServiceOrigin(const QString &origin);

// The host's version string as Latin-1, empty when the host gives none.
QString kelpHostVersion();

// One-line wording of a failed reply, shared by the client and the updater.
QString networkErrorText(QNetworkReply *reply);

// A JSON number truncated toward zero to 64 bits; NaN gives 0 and out-of-range values saturate
// instead of being undefined.
qint64 truncateToInt64(double value);
