// The runtime manifest rules under arbitrary input.
//
// The same bytes are read three ways: as a manifest document, as one runtime path, and as two
// version texts separated by the first newline. Properties checked:
// - an accepted manifest's version folder lies strictly below the cache root, and every file it
//   lists lands strictly below that folder;
// - a path accepted as safe stays below whatever folder it is joined to, under both platforms'
//   rules, and the Windows rules never accept what the POSIX ones refuse;
// - no two files of an accepted manifest are one file where case is ignored;
// - compareVersions is reflexive and antisymmetric.
// Which names, versions, digests and plug-in versions are refused, and that manifests get the
// Windows rules everywhere, is pinned by the manifest rules suite's tables.

#include "common/kelp-common.h"
#include "runtime/manifest-rules.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <cstdint>
#include <cstdlib>

namespace {
const QString kRoot = QStringLiteral("/cache/runtime/event-goal");

void require(bool condition)
{
	if (!condition)
		abort();
}

bool strictlyBelow(const QString &folder, const QString &relative)
{
	const QString joined = QDir::cleanPath(folder + QLatin1Char('/') + relative);
	return joined.startsWith(folder + QLatin1Char('/')) && joined.size() > folder.size() + 1;
}

int sign(int value)
{
	return value < 0 ? -1 : (value > 0 ? 1 : 0);
}

void checkPath(const QString &path)
{
	const bool posix = isSafeRuntimePath(path, RuntimePathRules::Posix);
	const bool windows = isSafeRuntimePath(path, RuntimePathRules::Windows);
	require(!windows || posix);
	if (!posix)
		return;
	require(!path.contains(QLatin1Char('\\')));
	require(!hasControlCharacter(path));
	require(strictlyBelow(kRoot, path));
}

void checkVersions(const QString &a, const QString &b)
{
	require(compareVersions(a, a) == 0);
	require(sign(compareVersions(a, b)) == -sign(compareVersions(b, a)));
}

void checkManifest(const QJsonObject &manifest)
{
	QString error;
	if (!validateManifest(manifest, &error)) {
		require(!error.isEmpty());
		return;
	}
	const QString version = manifest.value(QStringLiteral("runtime_version")).toString();
	require(strictlyBelow(kRoot, version));
	const QString versionFolder = kRoot + QLatin1Char('/') + version;
	QStringList folded;
	for (const QJsonValue &value : manifest.value(QStringLiteral("files")).toArray()) {
		const QString path = value.toObject().value(QStringLiteral("path")).toString();
		require(strictlyBelow(versionFolder, path));
		require(!folded.contains(path, Qt::CaseInsensitive));
		folded.append(path);
	}
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));

	const QJsonDocument document = QJsonDocument::fromJson(bytes);
	if (document.isObject())
		checkManifest(document.object());

	checkPath(QString::fromUtf8(bytes));
	checkPath(QString::fromLatin1(bytes));

	const qsizetype cut = bytes.indexOf('\n');
	const QString a = QString::fromUtf8(cut < 0 ? bytes : bytes.left(cut));
	const QString b = cut < 0 ? QString() : QString::fromUtf8(bytes.mid(cut + 1));
	checkVersions(a, b);
	return 0;
}
