#include "runtime/manifest-rules.h"

#include "common/kelp-common.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QRegularExpression>
#include <QSet>
#include <QStringList>
#include <QUrl>

#include <algorithm>

namespace {
bool isAbsolute(const QString &path, RuntimePathRules rules)
{
	if (path.startsWith(QLatin1Char('/')))
		return true;
	if (rules == RuntimePathRules::Posix)
		return false;
	if (path.startsWith(QLatin1Char('\\')))
		return true;
	// A drive letter makes even "C:name" leave the folder it is joined to.
	return path.size() >= 2 && path.at(1) == QLatin1Char(':') && path.at(0).isLetter() &&
	       path.at(0).unicode() < 128;
}

// Names Windows keeps for devices whatever extension follows ("con.txt" is the console too), the
// superscript digits included.
bool isWindowsDeviceName(const QString &segment)
{
	const QString stem = segment.section(QLatin1Char('.'), 0, 0).trimmed().toUpper();
	static const QStringList plain{QStringLiteral("CON"), QStringLiteral("PRN"),    QStringLiteral("AUX"),
				       QStringLiteral("NUL"), QStringLiteral("CONIN$"), QStringLiteral("CONOUT$")};
	if (plain.contains(stem))
		return true;
	if (stem.size() != 4 || !(stem.startsWith(QLatin1String("COM")) || stem.startsWith(QLatin1String("LPT"))))
		return false;
	const QChar digit = stem.at(3);
	return (digit >= QLatin1Char('1') && digit <= QLatin1Char('9')) || digit == QChar(0x00B9) ||
	       digit == QChar(0x00B2) || digit == QChar(0x00B3);
}

// A segment NTFS stores as written, as a plain file or folder of its own.
bool isWindowsSafeSegment(const QString &segment)
{
	static const QString reserved = QStringLiteral(":<>\"|?*");
	for (const QChar c : segment) {
		if (reserved.contains(c))
			return false;
	}
	if (segment.endsWith(QLatin1Char('.')) || segment.endsWith(QLatin1Char(' ')))
		return false;
	return !isWindowsDeviceName(segment);
}

QString withoutControlCharacters(QString text)
{
	for (QChar &c : text) {
		if (isControlCharacter(c))
			c = QChar::ReplacementCharacter;
	}
	return text;
}

bool parseVersionPart(const QString &part, qlonglong *value)
{
	bool ok = false;
	*value = part.section(QLatin1Char('-'), 0, 0).toLongLong(&ok, 10);
	return ok;
}

int textOrder(const QString &a, const QString &b)
{
	const int order = QString::compare(a, b, Qt::CaseInsensitive);
	return order < 0 ? -1 : (order > 0 ? 1 : 0);
}
} // namespace

bool isSafeRuntimePath(const QString &path, RuntimePathRules rules)
{
	// A control character would break the file name and every line that shows the path.
	if (path.isEmpty() || hasControlCharacter(path))
		return false;
	if (path.startsWith(QLatin1Char('/')) || path.startsWith(QLatin1Char('\\')))
		return false;
	if (path.contains(QStringLiteral("..")))
		return false;
	QString normal = path;
	normal.replace(QLatin1Char('\\'), QLatin1Char('/'));
	normal = QDir::cleanPath(normal);
	if (normal != path)
		return false;
	// cleanPath keeps a lone "." as it is, yet it names the folder itself, not a file inside it.
	if (normal == QLatin1String("."))
		return false;
	if (isAbsolute(normal, rules))
		return false;
	if (rules == RuntimePathRules::Posix)
		return true;
	const QStringList segments = normal.split(QLatin1Char('/'));
	return std::all_of(segments.cbegin(), segments.cend(), isWindowsSafeSegment);
}

int compareVersions(const QString &a, const QString &b)
{
	const QStringList left = a.split(QLatin1Char('.'));
	const QStringList right = b.split(QLatin1Char('.'));
	const qsizetype count = qMax(left.size(), right.size());
	for (qsizetype i = 0; i < count; ++i) {
		qlonglong x = 0;
		qlonglong y = 0;
		if (i >= left.size() || i >= right.size() || !parseVersionPart(left.at(i), &x) ||
		    !parseVersionPart(right.at(i), &y))
			return textOrder(a, b);
		if (x < y)
			return -1;
		if (x > y)
			return 1;
	}
	return 0;
}

bool isValidRuntimeVersion(const QString &version)
{
	// Anchored as a whole: a plain "$" would also match before a final line feed.
	static const QRegularExpression pattern(
		QRegularExpression::anchoredPattern(QStringLiteral("[A-Za-z0-9._-]{1,64}")));
	if (!pattern.match(version).hasMatch())
		return false;
	// A version is one folder name: the pattern leaves only the trailing dot and the device names
	// of the Windows rules to refuse, and the former covers a version of dots alone.
	return isWindowsSafeSegment(version) && !isRuntimeWorkFolder(version);
}

bool isRuntimeWorkFolder(const QString &name)
{
	// QUuid writes lowercase: any other case is not of the updater's making.
	static const QRegularExpression pattern(QRegularExpression::anchoredPattern(QStringLiteral(
		"\\..+\\.(staging|previous)-[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")));
	return pattern.match(name).hasMatch();
}

bool validateManifest(const QJsonObject &manifest, QString *error)
{
	const auto refuse = [error](const QString &message) {
		if (error)
			*error = message;
		return false;
	};

	if (manifest.value(QStringLiteral("widget")).toString() != QLatin1String("event-goal"))
		return refuse(QStringLiteral("wrong widget manifest"));
	if (!isValidRuntimeVersion(manifest.value(QStringLiteral("runtime_version")).toString()))
		return refuse(QStringLiteral("invalid runtime version"));
	const QString minimum = manifest.value(QStringLiteral("min_plugin_version")).toString();
	if (!minimum.isEmpty() && compareVersions(QString::fromLatin1(kKelpModuleVersion), minimum) < 0)
		return refuse(QStringLiteral("plugin %1+ required").arg(withoutControlCharacters(minimum)));
	const QJsonArray files = manifest.value(QStringLiteral("files")).toArray();
	if (files.isEmpty())
		return refuse(QStringLiteral("manifest has no files"));
	if (files.size() > kMaxRuntimeFiles)
		return refuse(QStringLiteral("invalid manifest"));
	qint64 declaredBytes = 0;
	QSet<QString> folded;
	for (const QJsonValue &value : files) {
		if (!value.isObject())
			return refuse(QStringLiteral("invalid file entry"));
		const QJsonObject entry = value.toObject();
		const QString path = entry.value(QStringLiteral("path")).toString();
		const QString url = entry.value(QStringLiteral("url")).toString();
		const QString sha256 = entry.value(QStringLiteral("sha256")).toString();
		if (!isSafeRuntimePath(path, kManifestPathRules) || !QUrl(url, QUrl::TolerantMode).isValid() ||
		    sha256.size() != 64)
			return refuse(QStringLiteral("unsafe runtime file entry"));
		// A second entry for the same file would overwrite a verified one with other bytes.
		const QString key = path.toCaseFolded();
		if (folded.contains(key))
			return refuse(QStringLiteral("unsafe runtime file entry"));
		folded.insert(key);
		// A declared size counts against the bound at once; an undeclared one as the file arrives.
		const QJsonValue size = entry.value(QStringLiteral("size"));
		if (size.isDouble() && size.toDouble() > 0) {
			declaredBytes += qMin(truncateToInt64(size.toDouble()), kMaxRuntimeBytes + 1);
			if (declaredBytes > kMaxRuntimeBytes)
				return refuse(QStringLiteral("invalid manifest"));
		}
	}
	return true;
}

bool hasRuntimeIndex(const QString &directory)
{
	if (directory.isEmpty())
		return false;
	return QFileInfo::exists(directory + QStringLiteral("/index.html"));
}
