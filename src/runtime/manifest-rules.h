#pragma once

// The pure rules applied to a runtime manifest. They touch neither the network nor the disk (only
// hasRuntimeIndex looks at a directory), so tests and fuzzers call them directly.

#include <QJsonObject>
#include <QString>

// Which platform's file-name rules isSafeRuntimePath applies.
enum class RuntimePathRules {
	Posix,
	Windows,
};

// Manifests are judged by the Windows rules on every platform: a runtime the service publishes is
// accepted or refused alike everywhere, so a manifest that would break on Windows, where most
// streamers are, is caught wherever it is first tried.
inline constexpr RuntimePathRules kManifestPathRules = RuntimePathRules::Windows;

// A runtime is a widget's page and its assets: the bundled one is 4 files and 37 KB. These bounds
// are hundreds of times its files and thousands of times its bytes, yet stop a manifest from making
// every check fetch, and every version keep, gigabytes on the disk OBS records to (versions are never
// pruned). Each file is capped apart as well.
inline constexpr int kMaxRuntimeFiles = 1024;
inline constexpr qint64 kMaxRuntimeBytes = 128 * 1024 * 1024;

// True for a relative path in normal form, without control characters, that cannot leave the
// directory it is joined to. The Windows rules also refuse every segment that NTFS would store
// under another name or not as a plain file: a drive letter, a colon (an alternate data stream), a
// device name such as CON or lpt1.txt, a trailing dot or space, and the characters <>"|?*.
bool isSafeRuntimePath(const QString &path, RuntimePathRules rules);

// Dotted numeric comparison; parts that are missing or not numeric fall back to a case-insensitive
// comparison of the whole texts. Negative, zero or positive like strcmp.
int compareVersions(const QString &a, const QString &b);

// 1 to 64 of [A-Za-z0-9._-], and not only dots: joined to the cache root, "." or ".." would name
// the root itself or its parent. Nor a name Windows would fold into another folder or a device
// (a trailing dot, "nul", "COM1.2"), on every platform like the paths. Nor the name of a work folder.
bool isValidRuntimeVersion(const QString &version);

// The updater's own folders beside the versions: ".<version>.staging-<uuid>" for a download, and
// ".<name>.previous-<uuid>" for a version folder moved aside while another takes its name. Those a
// crash leaves behind are removed at start, so no version may be named like one.
bool isRuntimeWorkFolder(const QString &name);

// Checks everything but "ok"; on refusal fills error with the message shown to the user. Paths
// that differ only by case would share one file on Windows, so they are refused as duplicates. A
// runtime over its bounds in files or declared bytes is refused as an invalid manifest.
bool validateManifest(const QJsonObject &manifest, QString *error);

// An entry named "index.html" directly inside the directory.
bool hasRuntimeIndex(const QString &directory);
