// Reads one file in the manner named by its first argument, so that
// check_read_counter.sh can compare what read_counter.so counted with the size.
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc != 3) return 2;
    const char *how = argv[1], *path = argv[2];
    char buf[8192];
    unsigned long sum = 0;
    if (!strcmp(how, "fread8") || !strcmp(how, "getc") || !strcmp(how, "seek")) {
        FILE *f = fopen(path, "rb");
        if (!f) return 1;
        if (!strcmp(how, "fread8")) {
            while (fread(buf, 1, 8, f) == 8) sum += (unsigned char)buf[0];
        } else if (!strcmp(how, "getc")) {
            int c;
            while ((c = getc_unlocked(f)) != EOF) sum += (unsigned)c;
        } else {
            // Two blocks read through a seek into the middle of the file.
            fseek(f, 5000, SEEK_SET);
            while (ftell(f) < 13192 && fread(buf, 1, 8, f) == 8) sum += (unsigned char)buf[0];
        }
        fclose(f);
    } else {
        int fd = open(path, O_RDONLY);
        if (fd < 0) return 1;
        struct stat st;
        fstat(fd, &st);
        ssize_t got;
        if (!strcmp(how, "read")) {
            while ((got = read(fd, buf, sizeof buf)) > 0) sum += (unsigned char)buf[0];
        } else if (!strcmp(how, "pread")) {
            off_t off = 0;
            while ((got = pread(fd, buf, sizeof buf, off)) > 0) off += got;
        } else if (!strcmp(how, "readv")) {
            struct iovec iov[2] = {{buf, 100}, {buf + 100, 900}};
            while ((got = readv(fd, iov, 2)) > 0) sum += (unsigned char)buf[0];
        } else if (!strcmp(how, "mmap")) {
            unsigned char *p = mmap(NULL, (size_t)st.st_size, PROT_READ, MAP_PRIVATE, fd, 0);
            if (p == MAP_FAILED) return 1;
            for (off_t i = 0; i < st.st_size; ++i) sum += p[i];
            munmap(p, (size_t)st.st_size);
        } else {
            return 2;
        }
        close(fd);
    }
    printf("%lu\n", sum);
    if (!strcmp(how, "read")) _exit(0);  // the total must be written on this path too
    return 0;
}
