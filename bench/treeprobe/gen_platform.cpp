// gen-platform PROPERTIES FILE: writes a platform description with about
// that many properties, ten per node (the name and nine more, of every
// kind; every tenth node has a table), under a root with a row of buses.
// Prints the number of nodes and of property lines treeprobe will write.
#include <cmath>
#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    if (argc != 3) {
        (void)fprintf(stderr, "usage: gen-platform PROPERTIES FILE\n");
        return 2;
    }
    long nodes = atol(argv[1]) / 10;
    FILE *out = fopen(argv[2], "w");
    if (nodes < 2 || out == nullptr) {
        (void)fprintf(stderr, "gen-platform: need at least 20 properties and a writable file\n");
        return 2;
    }
    long buses = static_cast<long>(std::sqrt(static_cast<double>(nodes)));
    long properties = 0;
    long written = 0;
    auto node_body = [&](long id) {
        (void)fprintf(out,
                      "  string compatible \"nivex,device-%ld\"\n"
                      "  uint   reg 0x%lx\n"
                      "  int    temperature %ld\n"
                      "  float  voltage 1.%03ld\n"
                      "  handle phandle 0x%lx\n"
                      "  time   attached %ld\n"
                      "  bytes  serial 4e 58 %02lx %02lx 00 1f a0 ff\n"
                      "  uint   capacity size=8 0x%lx\n",
                      id, id * 16, id % 90 - 20, id % 1000, 0x1000 + id, 1700000000 + id, id & 0xff,
                      (id >> 8) & 0xff, id * 4096);
        if (id % 10 == 0)
            (void)fprintf(out,
                          "  table  ranges\n"
                          "    row\n      uint 0x0\n      uint 0x1000\n      string \"mem\"\n"
                          "    end\n"
                          "    row\n      uint 0x1000\n      uint 0x2000\n      string \"io\"\n"
                          "    end\n"
                          "  end\n");
        else
            (void)fprintf(out, "  string status \"okay\"\n");
        properties += 10;
        written++;
    };
    (void)fprintf(out, "node root\n");
    node_body(0);
    for (long bus = 0; bus < buses && written < nodes; bus++) {
        (void)fprintf(out, "node bus@%ld\n", bus);
        node_body(written);
        long per_bus = (nodes - 1 + buses - 1) / buses;
        for (long device = 0; device + 1 < per_bus && written < nodes; device++) {
            (void)fprintf(out, "node device@%ld\n", device);
            node_body(written);
            (void)fprintf(out, "end\n");
        }
        (void)fprintf(out, "end\n");
    }
    (void)fprintf(out, "end\n");
    if (fclose(out) != 0) {
        perror("gen-platform");
        return 1;
    }
    (void)printf("%ld %ld\n", written, properties);
    return 0;
}
