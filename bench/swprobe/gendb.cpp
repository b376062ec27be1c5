// swprobe-gendb IMAGE COUNT: writes a host image whose package database
// holds COUNT instances, each with the standard fields and all nine further
// parameters, every tenth one partially installed.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

static void fail(const std::string &what)
{
    (void)fprintf(stderr, "swprobe-gendb: %s: %s\n", what.c_str(), strerror(errno));
    exit(1);
}

static void make_dir(const std::string &path)
{
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
        fail(path);
}

static void write_file(const std::string &path, const std::string &content)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || write(fd, content.data(), content.size()) != (ssize_t)content.size() ||
        close(fd) != 0)
        fail(path);
}

int main(int argc, char *argv[])
{
    if (argc != 3 || atol(argv[2]) <= 0) {
        (void)fprintf(stderr, "usage: swprobe-gendb IMAGE COUNT\n");
        return 2;
    }
    std::string root = argv[1];
    long count = atol(argv[2]);
    for (const char *part : {"", "/var", "/var/sadm", "/var/sadm/pkg"})
        make_dir(root + part);

    char buffer[1024];
    for (long i = 0; i < count; i++) {
        // Created out of name order, as a host that grew over the years.
        long n = (i * 7919) % count;
        char instance[32];
        (void)snprintf(instance, sizeof instance, "BNCH%06ld", n);
        std::string folder = root + "/var/sadm/pkg/" + instance;
        make_dir(folder);
        int length = snprintf(
            buffer, sizeof buffer,
            "# generated for the benchmark\nPKG=%s\nNAME=Benchmark package %ld\nARCH=nivex64\n"
            "VERSION=1.%ld,REV=2024.03.01\nCATEGORY=application\nVENDOR=Orlo Systems, Inc.\n"
            "BASEDIR=/opt\nCLASSES=none\nPKGINST=%s\nDESC=package number %ld of the benchmark\n"
            "PSTAMP=bench%ld\nINSTDATE=Mar 04 2024 10:%02ld\nVSTOCK=VS-%ld\nSERIALNUM=%ld\n"
            "HOTLINE=Call 555-0100\nEMAIL=support@orlo.example\nORLO_PATCHID=%ld-01\n"
            "PATCHLIST=%ld-01 %ld-02\n",
            instance, n, n % 100, instance, n, n, n % 60, n, n, n, n, n);
        write_file(folder + "/pkginfo", std::string(buffer, (size_t)length));
        if (n % 10 == 0)
            write_file(folder + "/!I-Lock!", "");
    }
    return 0;
}
