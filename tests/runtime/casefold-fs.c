// A pass-through file system over a folder whose names ignore case, as on Windows and macOS: each
// name is looked up as written, then by ASCII case folding. A rename whose source's last name starts
// with the text of a control file fails with EACCES, as a move does on Windows while a scanner holds
// a file. Only what the runtime updater and the bus do is passed through.
//
//   casefold-fs BACKING CONTROL MOUNTPOINT SECONDS
//
// Runs in the foreground, and unmounts and exits on SIGTERM, when SECONDS have passed, or (through
// auto_unmount) when it dies.

#define _GNU_SOURCE      // renameat2
#define FUSE_USE_VERSION 31

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

static const char *backing;
static const char *control;

// The backing path of a mounted path. Every name but the last must exist; a last name that does not
// exist in any case is kept as written, for the calls that create it.
static int resolve(const char *path, char *out)
{
	char rest[PATH_MAX];
	if (snprintf(out, PATH_MAX, "%s", backing) >= PATH_MAX || snprintf(rest, sizeof rest, "%s", path) >= PATH_MAX)
		return -ENAMETOOLONG;
	char *save = NULL;
	for (char *name = strtok_r(rest, "/", &save); name; name = strtok_r(NULL, "/", &save)) {
		const size_t used = strlen(out);
		struct stat st;
		if (snprintf(out + used, PATH_MAX - used, "/%s", name) >= (int)(PATH_MAX - used))
			return -ENAMETOOLONG;
		if (lstat(out, &st) == 0)
			continue;
		out[used] = '\0';
		DIR *dir = opendir(out);
		if (!dir)
			return -errno;
		const struct dirent *entry;
		while ((entry = readdir(dir)) != NULL && strcasecmp(entry->d_name, name) != 0) {
		}
		snprintf(out + used, PATH_MAX - used, "/%s", entry ? entry->d_name : name);
		closedir(dir);
		if (!entry && save && save[strspn(save, "/")] != '\0')
			return -ENOENT;
	}
	return 0;
}

#define RESOLVE(path, real)                                                                                            \
	char real[PATH_MAX];                                                                                           \
	do {                                                                                                           \
		const int failed = resolve(path, real);                                                                \
		if (failed)                                                                                            \
			return failed;                                                                                 \
	} while (0)

static int result(int status)
{
	return status < 0 ? -errno : status;
}

static int fs_getattr(const char *path, struct stat *st, struct fuse_file_info *fi)
{
	(void)fi;
	RESOLVE(path, real);
	return result(lstat(real, st));
}

static int fs_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t offset, struct fuse_file_info *fi,
		      enum fuse_readdir_flags flags)
{
	(void)offset, (void)fi, (void)flags;
	RESOLVE(path, real);
	DIR *dir = opendir(real);
	if (!dir)
		return -errno;
	const struct dirent *entry;
	while ((entry = readdir(dir)) != NULL && fill(buf, entry->d_name, NULL, 0, 0) == 0) {
	}
	closedir(dir);
	return 0;
}

static int fs_mkdir(const char *path, mode_t mode)
{
	RESOLVE(path, real);
	return result(mkdir(real, mode));
}

static int fs_rmdir(const char *path)
{
	RESOLVE(path, real);
	return result(rmdir(real));
}

static int fs_unlink(const char *path)
{
	RESOLVE(path, real);
	return result(unlink(real));
}

static int fs_rename(const char *from, const char *to, unsigned int flags)
{
	char pattern[256] = "";
	FILE *file = fopen(control, "r");
	if (file) {
		pattern[fread(pattern, 1, sizeof pattern - 1, file)] = '\0';
		fclose(file);
	}
	if (pattern[0] && strncmp(strrchr(from, '/') + 1, pattern, strlen(pattern)) == 0) {
		fprintf(stderr, "casefold-fs: refused rename %s -> %s\n", from, to);
		return -EACCES;
	}
	RESOLVE(from, realFrom);
	RESOLVE(to, realTo);
	return result(renameat2(AT_FDCWD, realFrom, AT_FDCWD, realTo, flags));
}

static int fs_create(const char *path, mode_t mode, struct fuse_file_info *fi)
{
	RESOLVE(path, real);
	const int fd = open(real, fi->flags, mode);
	fi->fh = (uint64_t)fd;
	return fd < 0 ? -errno : 0;
}

static int fs_open(const char *path, struct fuse_file_info *fi)
{
	return fs_create(path, 0, fi);
}

static int fs_read(const char *path, char *buf, size_t size, off_t offset, struct fuse_file_info *fi)
{
	(void)path;
	return result((int)pread((int)fi->fh, buf, size, offset));
}

static int fs_write(const char *path, const char *buf, size_t size, off_t offset, struct fuse_file_info *fi)
{
	(void)path;
	return result((int)pwrite((int)fi->fh, buf, size, offset));
}

static int fs_release(const char *path, struct fuse_file_info *fi)
{
	(void)path;
	return result(close((int)fi->fh));
}

static void *fs_init(struct fuse_conn_info *conn, struct fuse_config *config)
{
	(void)conn;
	// Nothing cached in the kernel: every lookup comes here, where case is folded.
	config->entry_timeout = config->attr_timeout = config->negative_timeout = 0;
	return NULL;
}

static const struct fuse_operations operations = {
	.getattr = fs_getattr,
	.mkdir = fs_mkdir,
	.unlink = fs_unlink,
	.rmdir = fs_rmdir,
	.rename = fs_rename,
	.open = fs_open,
	.read = fs_read,
	.write = fs_write,
	.release = fs_release,
	.readdir = fs_readdir,
	.init = fs_init,
	.create = fs_create,
};

// The session loop ends on SIGTERM and unmounts on its way out.
static void onAlarm(int signal)
{
	(void)signal;
	kill(getpid(), SIGTERM);
}

int main(int argc, char *argv[])
{
	if (argc != 5) {
		fprintf(stderr, "usage: %s BACKING CONTROL MOUNTPOINT SECONDS\n", argv[0]);
		return 2;
	}
	backing = argv[1];
	control = argv[2];
	// Without SA_RESTART, so that the wait for the next request ends too.
	struct sigaction action;
	memset(&action, 0, sizeof action);
	action.sa_handler = onAlarm;
	sigaction(SIGALRM, &action, NULL);
	alarm((unsigned)atoi(argv[4]));
	char *args[] = {argv[0], "-f", "-s", "-o", "auto_unmount,fsname=casefold-fs", argv[3], NULL};
	return fuse_main(6, args, &operations, NULL);
}
