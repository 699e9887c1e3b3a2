// kelp-bench-sha256: the updater's SHA-256 verification (QCryptographicHash over the whole body,
// hex digest) against the system's sha256sum on the same file, alternating, in one process.
//
//   kelp-bench-sha256 FILE [--rounds R]
//
// Each round times, with CLOCK_MONOTONIC: reading the file and hashing it as the updater hashes a
// download; the hash alone; and a sha256sum process on the file (start-up included). Prints the
// median of each in MiB/s as one JSON line; exit code 1 when the two digests differ.

#include <QByteArray>
#include <QCryptographicHash>
#include <QFile>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

double nowS()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

double median(std::vector<double> values)
{
	std::sort(values.begin(), values.end());
	return values[values.size() / 2];
}

// The hex digest sha256sum prints, or empty when it failed.
QByteArray runSha256sum(const char *path)
{
	int out[2];
	if (pipe(out) != 0)
		return QByteArray();
	const pid_t child = fork();
	if (child == 0) {
		dup2(out[1], STDOUT_FILENO);
		close(out[0]);
		close(out[1]);
		execlp("sha256sum", "sha256sum", path, static_cast<char *>(nullptr));
		_exit(127);
	}
	close(out[1]);
	QByteArray text;
	char buf[256];
	ssize_t got;
	while ((got = read(out[0], buf, sizeof buf)) > 0)
		text.append(buf, got);
	close(out[0]);
	int status = 0;
	waitpid(child, &status, 0);
	if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
		return QByteArray();
	return text.left(64);
}

} // namespace

int main(int argc, char **argv)
{
	if (argc < 2) {
		std::fprintf(stderr, "usage: kelp-bench-sha256 FILE [--rounds R]\n");
		return 2;
	}
	const char *path = argv[1];
	int rounds = 7;
	if (argc > 3 && std::strcmp(argv[2], "--rounds") == 0)
		rounds = std::max(1, std::atoi(argv[3]));

	std::vector<double> readAndHash, hashOnly, external;
	QByteArray ours, theirs;
	qint64 size = 0;
	for (int round = 0; round < rounds; ++round) {
		double start = nowS();
		QFile file(QString::fromLocal8Bit(path));
		if (!file.open(QIODevice::ReadOnly))
			return 2;
		const QByteArray body = file.readAll();
		const double read = nowS();
		ours = QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex();
		const double hashed = nowS();
		size = body.size();
		readAndHash.push_back(hashed - start);
		hashOnly.push_back(hashed - read);

		start = nowS();
		theirs = runSha256sum(path);
		external.push_back(nowS() - start);
		if (theirs.isEmpty())
			return 2;
	}
	const double mib = double(size) / (1024.0 * 1024.0);
	std::printf("{\"mib\":%.1f,\"rounds\":%d,\"ours_mibs\":%.1f,\"ours_hash_only_mibs\":%.1f,"
		    "\"sha256sum_mibs\":%.1f,\"digests_match\":%s}\n",
		    mib, rounds, mib / median(readAndHash), mib / median(hashOnly), mib / median(external),
		    ours == theirs ? "true" : "false");
	return ours == theirs ? 0 : 1;
}
