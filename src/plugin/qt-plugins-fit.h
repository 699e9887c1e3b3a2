#pragma once

#include <QString>
#include <QVersionNumber>

// The module's own Qt plug-ins (its TLS backend) use QtNetwork's private API, which holds only
// within the Qt minor version they were built with, though Qt itself would load them into any
// later minor version. Empty when the running Qt is of the built minor version; otherwise the
// warning line that says why the module's folder is left out.
inline QString qtPluginsMismatch(const QString &running, const QString &built)
{
	const QVersionNumber have = QVersionNumber::fromString(running);
	const QVersionNumber want = QVersionNumber::fromString(built);
	if (have.majorVersion() == want.majorVersion() && have.minorVersion() == want.minorVersion())
		return QString();
	return QStringLiteral("[KELP] private Qt plugin path not registered: its plug-ins were built for Qt %1 and "
			      "OBS runs Qt %2; HTTPS now depends on OBS's own Qt")
		.arg(built, running);
}
