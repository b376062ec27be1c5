// The host scanner over fake sysfs folder trees: what becomes a node and a
// property, what is left out, and when files are read.
#include "host.h"
#include "support.h"

#include <sys/stat.h>
#include <sys/utsname.h>

namespace
{

using lumo::Object;

// A served fake host, read the way the library's operations read it: every
// object filled in when it is first used.
class FakeHost : public testing::Test
{
  protected:
    void serve()
    {
        std::string problem;
        ASSERT_TRUE(lumo::serve_host(tree, sys.path(), problem)) << problem;
    }
    const Object &use(uint64_t handle)
    {
        tree.complete(handle);
        return *tree.find(handle);
    }
    uint64_t root()
    {
        return tree.root();
    }
    // name=child,child,... of the node's children.
    std::vector<std::string> children(uint64_t node)
    {
        std::vector<std::string> names;
        for (uint64_t child = use(node).down; child != 0; child = tree.find(child)->next)
            names.push_back(value(property(child, "name")));
        return names;
    }
    uint64_t child(uint64_t node, const std::string &name)
    {
        for (uint64_t child = use(node).down; child != 0; child = tree.find(child)->next)
            if (value(property(child, "name")) == name)
                return child;
        ADD_FAILURE() << "no child " << name;
        return 0;
    }
    uint64_t property(uint64_t node, const std::string &name)
    {
        for (uint64_t prop = use(node).first; prop != 0; prop = tree.find(prop)->next)
            if (tree.name(*tree.find(prop)) == name)
                return prop;
        return 0;
    }
    // A character string without its NUL, "bytes 01 02" for a byte array,
    // "28" for a value that answers 28.
    std::string value(uint64_t prop)
    {
        const Object &object = use(prop);
        int32_t code = tree.fault(prop, object, lumo::op_value);
        if (code != 0)
            return std::to_string(code);
        std::string bytes(reinterpret_cast<const char *>(tree.value(object)), object.value_length);
        if (object.type == 9) {
            EXPECT_TRUE(!bytes.empty() && bytes.back() == '\0') << "string without its NUL";
            return bytes.substr(0, bytes.size() - 1);
        }
        std::string text = "type " + std::to_string(object.type) + ":";
        for (unsigned char c : bytes) {
            char hex[4];
            (void)snprintf(hex, sizeof hex, " %02x", c);
            text += hex;
        }
        return text;
    }
    // Every property but the name, as name=value.
    std::vector<std::string> properties(uint64_t node)
    {
        std::vector<std::string> lines;
        for (uint64_t prop = use(node).first; prop != 0; prop = tree.find(prop)->next)
            lines.push_back(std::string(tree.name(*tree.find(prop))) + "=" + value(prop));
        lines.erase(lines.begin());
        return lines;
    }

    TempDir sys;
    lumo::Tree tree;
};

utsname kernel()
{
    utsname names;
    EXPECT_EQ(uname(&names), 0);
    return names;
}

} // namespace

TEST_F(FakeHost, AttributesBecomeStringsOrByteArraysAndUnsafeOnesAreLeftOut)
{
    const std::string dev = sys / "devices/pci0000:00/0000:00:01.0";
    struct {
        const char *file;
        std::string content;
        mode_t mode;
    } files[] = {
        {"vendor", "0x8086\n", 0444},
        {"empty", "", 0444},
        {"label", "two\nlines\twith tab\n", 0644},
        {"binary", std::string("\x01\x00\xff", 3), 0444},
        {"escape", "red\x1b[0m\n", 0444},
        {"latin", "caf\xe9\n", 0444},
        {"at-cap", std::string(lumo::attribute_cap, 'a'), 0444},
        {"past-cap", std::string(lumo::attribute_cap + 1, 'a'), 0444},
        {"owner-only", "secret\n", 0400},
        {"remove", "", 0200},
        {"config", "cfg", 0644},
        {"rom", "rom", 0600},
        {"vpd", "vpd", 0600},
        {"eeprom", "ee", 0600},
        {"nvmem", "nv", 0444},
        {"resource0", "bar", 0600},
        {"resource2_wc", "bar", 0600},
        {"resource", "0x0 0x0 0x0\n", 0444},
        {"resources", "text\n", 0444},
    };
    for (auto &f : files)
        write_file(dev + "/" + f.file, f.content, f.mode);
    make_link(dev + "/driver", "../../../bus/pci/drivers/e1000e");
    make_link(dev + "/subsystem", "../../../bus/pci");
    make_link(dev + "/firmware_node", "../../LNXSYSTM:00");
    make_link(dev + "/vendor-link", "vendor");
    ASSERT_EQ(mkfifo((dev + "/fifo").c_str(), 0644), 0);
    serve();

    uint64_t node = child(child(root(), "pci0000:00"), "0000:00:01.0");
    std::vector<std::string> expected = {
        "at-cap=" + std::string(lumo::attribute_cap, 'a'),
        "binary=type 8: 01 00 ff",
        "driver=e1000e",
        "empty=",
        "escape=type 8: 72 65 64 1b 5b 30 6d 0a",
        "label=two\nlines\twith tab\n",
        "latin=type 8: 63 61 66 e9 0a",
        "owner-only=secret\n",
        "past-cap=28",
        "resource=0x0 0x0 0x0\n",
        "resources=text\n",
        "subsystem=pci",
        "vendor=0x8086\n",
    };
    EXPECT_EQ(properties(node), expected);
    EXPECT_EQ(children(node), std::vector<std::string>{}) << "links are never nodes";
}

TEST_F(FakeHost, FoldersAreNodesInByteOrderAndLinksAreNotFollowed)
{
    for (const char *folder :
         {"devices/system/cpu/cpu1", "devices/system/cpu/cpu0", "devices/system/cpu/cpu10",
          "devices/virtual/net/lo", "devices/Zeta", "devices/pnp0"})
        make_dir(sys / folder);
    make_link(sys / "devices/system/cpu/cpu0/loop", "../..");
    make_link(sys / "devices/system/cpu/cpu0/subsystem", "../../../../bus/cpu");
    serve();
    uint64_t r = root();
    EXPECT_EQ(children(r), (std::vector<std::string>{"Zeta", "pnp0", "system", "virtual"}));
    uint64_t cpu = child(child(r, "system"), "cpu");
    EXPECT_EQ(children(cpu), (std::vector<std::string>{"cpu0", "cpu1", "cpu10"}));
    uint64_t cpu0 = child(cpu, "cpu0");
    EXPECT_EQ(children(cpu0), std::vector<std::string>{});
    EXPECT_EQ(properties(cpu0), std::vector<std::string>{"subsystem=cpu"});
    EXPECT_EQ(children(child(child(r, "virtual"), "net")), std::vector<std::string>{"lo"});
}

TEST_F(FakeHost, RootCarriesTheFirmwareIdentityAndTheKernel)
{
    make_dir(sys / "devices/virtual/dmi/id");
    make_link(sys / "class/dmi/id", "../../devices/virtual/dmi/id");
    write_file(sys / "devices/virtual/dmi/id/sys_vendor", "Acme\n");
    write_file(sys / "devices/virtual/dmi/id/product_name", "Box 9 \n");
    write_file(sys / "devices/virtual/dmi/id/product_serial", "S-1\n", 0400);
    write_file(sys / "devices/virtual/dmi/id/bios_version", std::string("1.0\0", 4));
    make_dir(sys / "devices/virtual/dmi/id/bios_date");
    serve();
    utsname names = kernel();
    EXPECT_EQ(value(property(root(), "name")), "Box 9");
    std::vector<std::string> expected = {
        "sys_vendor=Acme\n",
        "product_name=Box 9 \n",
        "product_version=28",
        "product_serial=S-1\n",
        "bios_vendor=28",
        "bios_version=type 8: 31 2e 30 00",
        "bios_date=28",
        std::string("kernel_name=") + names.sysname,
        std::string("kernel_release=") + names.release,
    };
    EXPECT_EQ(properties(root()), expected);
    EXPECT_EQ(children(root()), std::vector<std::string>{"virtual"});
}

TEST_F(FakeHost, WithoutFirmwareIdentityTheRootIsNamedAfterTheMachine)
{
    // nullptr: no identity folder at all
    for (const char *product_name :
         std::initializer_list<const char *>{nullptr, " \t\n", "bad\x01name\n"}) {
        TempDir other;
        make_dir(other / "devices");
        if (product_name != nullptr)
            write_file(other / "class/dmi/id/product_name", product_name);
        lumo::Tree fresh;
        std::string problem;
        ASSERT_TRUE(lumo::serve_host(fresh, other.path(), problem)) << problem;
        const Object *name = fresh.find(fresh.find(fresh.root())->first);
        EXPECT_STREQ(reinterpret_cast<const char *>(fresh.value(*name)), kernel().machine)
            << (product_name ? product_name : "no identity");
    }
}

TEST_F(FakeHost, FilesAreReadWhenFirstAskedForAndOnlyOnce)
{
    const std::string dev = sys / "devices/platform/serial8250";
    write_file(dev + "/before", "old\n");
    write_file(dev + "/after", "old\n");
    write_file(dev + "/gone", "here\n");
    write_file(dev + "/linked", "file\n");
    write_file(dev + "/folded", "file\n");
    serve();
    uint64_t platform = child(root(), "platform");
    write_file(dev + "/late", "listed after all\n");
    make_dir(dev + "/tty");
    uint64_t node = child(platform, "serial8250");
    make_dir(dev + "/too-late");
    EXPECT_EQ(value(property(node, "after")), "old\n");

    write_file(dev + "/before", "new\n");
    write_file(dev + "/after", "new\n");
    ASSERT_EQ(unlink((dev + "/gone").c_str()), 0);
    ASSERT_EQ(unlink((dev + "/linked").c_str()), 0);
    make_link(dev + "/linked", "before");
    ASSERT_EQ(unlink((dev + "/folded").c_str()), 0);
    make_dir(dev + "/folded");
    std::vector<std::string> expected = {
        "after=old\n", "before=new\n", "folded=28", "gone=28", "late=listed after all\n",
        "linked=28",
    };
    EXPECT_EQ(properties(node), expected);
    EXPECT_EQ(children(node), std::vector<std::string>{"tty"});
    write_file(dev + "/gone", "back\n");
    EXPECT_EQ(value(property(node, "gone")), "28") << "a failed read is not retried";
}

TEST(HostScanner, DeviceFolderMustBeThere)
{
    TempDir sys;
    write_file(sys / "class/dmi/id/product_name", "Box\n");
    lumo::Tree tree;
    std::string problem;
    EXPECT_FALSE(lumo::serve_host(tree, sys.path(), problem));
    EXPECT_EQ(problem, "host device folder " + sys.path() + "/devices: No such file or directory");
    write_file(sys / "devices", "not a folder\n");
    EXPECT_FALSE(lumo::serve_host(tree, sys.path(), problem));
    EXPECT_EQ(problem, "host device folder " + sys.path() + "/devices: Not a directory");
}
