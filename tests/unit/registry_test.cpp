// The simulated registry behaves as Windows NT and Wine do where the monitor
// depends on it, and its REGEDIT4 form reads back what it wrote.
#include "test_support.h"

namespace {

class Registry : public ::testing::Test {
protected:
    void SetUp() override { sim::machine().reset(); }
    void TearDown() override {
        EXPECT_EQ(sim::machine().openKeys(), 0u);
        sim::machine().reset();
    }
    sim::Registry& reg() { return sim::machine().registry(); }
};

TEST_F(Registry, NamesIgnoreCaseKeepTheirSpellingAndEnumerateInTheMachinesOrder) {
    const bool madeOrder = sim::machine().traits().subkeysInCreationOrder;
    HKEY key;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "Enum\\USB\\Zeta", &key), ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "ENUM\\usb\\alpha", &key), ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "enum\\USB\\Beta", &key), ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "eNuM\\UsB", 0, KEY_READ, &key), ERROR_SUCCESS);
    CHAR name[16];
    std::vector<std::string> names;
    for (DWORD i = 0; RegEnumKeyA(key, i, name, sizeof name) == ERROR_SUCCESS; i++) names.push_back(name);
    const std::vector<std::string> sorted = {"alpha", "Beta", "Zeta"}, made = {"Zeta", "alpha", "Beta"};
    EXPECT_EQ(names, madeOrder ? made : sorted);
    EXPECT_EQ(RegEnumKeyA(key, 3, name, sizeof name), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumKeyA(key, madeOrder ? 1 : 0, name, 5), ERROR_MORE_DATA) << "alpha needs 6 bytes";
    RegCloseKey(key);
    EXPECT_EQ(reg().subkeys("Enum"), std::vector<std::string>{"USB"}) << "first spelling kept";
}

TEST_F(Registry, ValuesReportSizesAndRefuseShortBuffers) {
    reg().setValue("K", "Property", REG_BINARY, std::vector<BYTE>(10, 7));
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "K", 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD type = Marker, size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "property", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, (DWORD)REG_BINARY);
    EXPECT_EQ(size, 10u);
    BYTE buffer[16];
    std::memset(buffer, 0, sizeof buffer);
    size = 4;
    EXPECT_EQ(RegQueryValueExA(key, "Property", nullptr, nullptr, buffer, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(buffer[0], 0) << "nothing copied into a short buffer";
    size = sizeof buffer;
    EXPECT_EQ(RegQueryValueExA(key, "Property", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(buffer[9], 7);
    EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, nullptr, buffer, &size), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE) << "closed twice";
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Nope", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
}

TEST_F(Registry, HandlesGrantOnlyTheRightsTheyWereOpenedWith) {
    WHERE_TRAITS(t.registrySecurity);
    reg().setString("Enum\\USB\\DEV\\INST", "PortName", "USB-000");
    HKEY readOnly, writable;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum\\USB\\DEV\\INST", 0, KEY_READ, &readOnly), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(readOnly, "PortName"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegSetValueExA(readOnly, "X", 0, REG_SZ, (const BYTE*)"", 1), ERROR_ACCESS_DENIED);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum\\USB\\DEV\\INST", 0, KEY_READ | KEY_SET_VALUE, &writable),
              ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(writable, "PortName"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(writable, "PortName"), ERROR_FILE_NOT_FOUND);
    HKEY writeOnly;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum\\USB", 0, KEY_WRITE, &writeOnly), ERROR_SUCCESS);
    CHAR name[16];
    EXPECT_EQ(RegEnumKeyA(writeOnly, 0, name, sizeof name), ERROR_ACCESS_DENIED);
    RegCloseKey(readOnly);
    RegCloseKey(writable);
    RegCloseKey(writeOnly);
}

TEST_F(Registry, KeySecurityCanRefuseNewSubkeys) {
    WHERE_TRAITS(t.registrySecurity);
    reg().refuseAccess(MonitorKeyPath, KEY_CREATE_SUB_KEY);
    HKEY key;
    EXPECT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, portKeyPath("ZEVURUZI").c_str(), &key), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(reg().exists(portKeyPath("ZEVURUZI")));
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, MonitorKeyPath, &key), ERROR_SUCCESS) << "an existing key opens";
    RegCloseKey(key);
}

TEST_F(Registry, DeletionNeedsAKeyWithoutSubkeysAndInvalidatesOpenHandles) {
    WHERE_TRAITS(!t.deletesKeyTrees);
    reg().create("A\\B\\C");
    HKEY a, c;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "A", 0, KEY_ALL_ACCESS, &a), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "A\\B\\C", 0, KEY_READ, &c), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(a, "B"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(a, "B\\C"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(a, "B\\C"), ERROR_FILE_NOT_FOUND);
    CHAR name[8];
    EXPECT_EQ(RegEnumKeyA(c, 0, name, sizeof name), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(c), ERROR_SUCCESS) << "a handle to a deleted key can still be closed";
    RegCloseKey(a);
}

// The registry of a Windows 98 machine: subkeys in the order made, no
// security, whole trees deleted, one leading backslash skipped.
TEST_F(Registry, AWindows98RegistryHasNoOrderNoSecurityAndDeletesTrees) {
    sim::machine().setPersonality(sim::Personality::Windows98);
    for (const char* name : {"Zeta", "alpha", "Beta\\Inner"}) reg().create(std::string("Enum\\") + name);
    reg().refuseAccess("Enum", KEY_ALL_ACCESS);
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "\\Enum", 0, KEY_READ, &key), ERROR_SUCCESS);
    CHAR name[16];
    std::vector<std::string> names;
    for (DWORD i = 0; RegEnumKeyA(key, i, name, sizeof name) == ERROR_SUCCESS; i++) names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"Zeta", "alpha", "Beta"}));
    EXPECT_EQ(RegSetValueExA(key, "Opened", 0, REG_SZ, (const BYTE*)"read", 5), ERROR_SUCCESS) << "for reading";
    EXPECT_EQ(RegDeleteKeyA(key, "Beta"), ERROR_SUCCESS);
    EXPECT_FALSE(reg().exists("Enum\\Beta\\Inner"));
    RegCloseKey(key);
}

TEST_F(Registry, Regedit4RoundTripKeepsEveryByte) {
    reg().setString(MonitorKeyPath, "Driver", "zevuruzi.dll");
    reg().setValue(portKeyPath("USB-001"), "Property", REG_BINARY, configBytes(usbConfig("USB\\VID_1\\\"quoted\"")));
    reg().setDword("Enum\\USB\\VID_1\\A", "Flags", 0x12345678);
    reg().setValue("Enum\\USB\\VID_1\\A", "", REG_SZ, {'d', 'e', 'f', 0});
    reg().setValue("Enum\\USB\\VID_1\\A", "Multi", REG_MULTI_SZ, {'a', 0, 'b', 0, 0});
    reg().setValue("Enum\\USB\\VID_1\\A", "Unterminated", REG_SZ, {'x', 'y'});
    reg().create("Empty\\Key");
    std::string text = reg().exportText();
    EXPECT_EQ(text.rfind("REGEDIT4\n", 0), 0u);
    EXPECT_NE(text.find("\"Flags\"=dword:12345678"), std::string::npos);
    EXPECT_NE(text.find("@=\"def\""), std::string::npos);

    sim::Registry copy;
    copy.importText(text, "machine.reg");
    EXPECT_EQ(copy.exportText(), text);
    EXPECT_EQ(copy.value(portKeyPath("USB-001"), "Property")->data, configBytes(usbConfig("USB\\VID_1\\\"quoted\"")));
    EXPECT_EQ(copy.value("Enum\\USB\\VID_1\\A", "Unterminated")->data, (std::vector<BYTE>{'x', 'y'}));
    EXPECT_EQ(copy.value("Enum\\USB\\VID_1\\A", "Multi")->type, (DWORD)REG_MULTI_SZ);
    EXPECT_TRUE(copy.exists("Empty\\Key"));
}

TEST_F(Registry, BrokenRegedit4NamesTheLineAndChangesNothing) {
    struct Case {
        const char* text;
        int line;
    };
    const Case cases[] = {
        {"Windows Registry Editor Version 5.00\n", 1},
        {"REGEDIT4\n\n\"Orphan\"=\"value\"\n", 3},
        {"REGEDIT4\n\n[HKEY_CURRENT_USER\\Software]\n", 3},
        {"REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=hex:01,zz\n", 4},
        {"REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=dword:123456789\n", 4},
        {"REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A\n", 3},
        {"REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"V=\"x\"\n", 4},
        // Found by fuzzing: a type too long for any number was a raw library exception.
        {"REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=hex(11111111111111111111):00\n", 4},
        {"REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=hex(100000000):00\n", 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        sim::Registry target;
        target.setString("Keep", "Me", "1");
        std::string before = target.exportText();
        try {
            target.importText(c.text, "broken.reg");
            ADD_FAILURE() << "accepted";
        } catch (const sim::RegistryFormatError& e) {
            EXPECT_EQ(e.line, c.line);
            EXPECT_EQ(e.source, "broken.reg");
            EXPECT_NE(std::string(e.what()).find("broken.reg:" + std::to_string(c.line)), std::string::npos);
        }
        EXPECT_EQ(target.exportText(), before);
    }
}

TEST_F(Registry, InjectedFailuresHitTheNthCallOnly) {
    sim::machine().failCall("RegOpenKeyExA", 2, ERROR_BADDB);
    reg().create("K");
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "K", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "K", 0, KEY_READ, &key), ERROR_BADDB);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "K", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(sim::machine().callCount("RegOpenKeyExA"), 3u);
}

}  // namespace
