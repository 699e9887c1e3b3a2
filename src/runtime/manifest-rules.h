#pragma once

// The pure rules applied to a runtime manifest. They touch neither the network nor the disk (only
// hasRuntimeIndex looks at a directory), so tests and fuzzers call them directly.

#include <QJsonObject>
#include <QString>

// Which platform's notion of an absolute path isSafeRuntimePath applies.
enum class RuntimePathRules {
	Posix,
	Windows,
};

constexpr RuntimePathRules nativeRuntimePathRules()
{
#ifdef _WIN32
	return RuntimePathRules::Windows;
#else
	return RuntimePathRules::Posix;
#endif
}

// True for a relative path in normal form, without control characters, that cannot leave the
// directory it is joined to.
bool isSafeRuntimePath(const QString &path, RuntimePathRules rules = nativeRuntimePathRules());

// Dotted numeric comparison; parts that are missing or not numeric fall back to a case-insensitive
// comparison of the whole texts. Negative, zero or positive like strcmp.
int compareVersions(const QString &a, const QString &b);

// 1 to 64 of [A-Za-z0-9._-], and not only dots: joined to the cache root, "." or ".." would name
// the root itself or its parent.
bool isValidRuntimeVersion(const QString &version);

// Checks everything but "ok"; on refusal fills error with the message shown to the user.
bool validateManifest(const QJsonObject &manifest, QString *error);

// An entry named "index.html" directly inside the directory.
bool hasRuntimeIndex(const QString &directory);
