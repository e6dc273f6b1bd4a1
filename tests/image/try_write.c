/* try-write DIR...: run inside a container of the pod, with the pod's user,
 * capabilities and mounts, it tries to change everything beneath each DIR
 * (the container's read-only mounts, the file systems mounted beneath them
 * included): opening every file for writing, changing its mode to the mode
 * it has, and creating a file and a directory in every directory. Nothing
 * is written into a file it managed to open; what it created it removes.
 * Prints each change that would have worked and the count of what it
 * tried; exits 1 if any would have, 2 if it could not look at a DIR.
 * Statically linked, since the image holds no C library. */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int changed;
static long files, folders;

static void report(const char* what, const char* path) {
    printf("%s: %s\n", what, path);
    changed = 1;
}

static void walk(const char* path, int depth) {
    struct stat st;
    if (lstat(path, &st) != 0 || S_ISLNK(st.st_mode)) return;
    if (!S_ISDIR(st.st_mode)) {
        if (!S_ISREG(st.st_mode)) return; /* no device is opened */
        ++files;
        int fd = open(path, O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0) {
            close(fd);
            report("opened for writing", path);
        }
        if (chmod(path, st.st_mode & 07777) == 0) report("mode changed", path);
        return;
    }
    ++folders;
    char made[4096];
    snprintf(made, sizeof made, "%s/.try-write-%d", path, (int)getpid());
    int fd = open(made, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
        close(fd);
        unlink(made);
        report("file created in", path);
    }
    if (mkdir(made, 0700) == 0) {
        rmdir(made);
        report("directory created in", path);
    }
    if (depth > 16) return;
    DIR* listing = opendir(path);
    if (listing == NULL) return;
    struct dirent* entry;
    while ((entry = readdir(listing)) != NULL) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        char inner[4096];
        if (snprintf(inner, sizeof inner, "%s/%s", path, entry->d_name) < (int)sizeof inner) {
            walk(inner, depth + 1);
        }
    }
    closedir(listing);
}

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        struct stat st;
        if (stat(argv[i], &st) != 0) {
            fprintf(stderr, "try-write: %s: %s\n", argv[i], strerror(errno));
            return 2;
        }
        walk(argv[i], 0);
    }
    printf("tried %ld files and %ld directories as %d:%d\n", files, folders, (int)getuid(),
           (int)getgid());
    return changed;
}
