// Writes the seed corpus of outside_data_fuzz: one file per scenario, named
// after it, into the folder given (fuzz/corpus/outside-data in the sources):
//
//   ./build/fuzz/fuzz/outside_data_seeds fuzz/corpus/outside-data
//
// Each seed is written field by field as the fuzz target's decoder reads it;
// OUTSIDE_DATA_TRACE=1 outside_data_fuzz SEED shows what a seed became.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>

#include "outside_data_input.h"

using namespace outside;

namespace {

struct EnumArgs {
    uint8_t level;  // a level byte: 1, 2, 0, or 5 for level 3
    uint8_t buffer;
    uint16_t extra;
    uint8_t flags;
};

const EnumArgs Level2AsSpooler{2, BufferAsSpooler, 0, 0};
const EnumArgs Level1AsSpooler{1, BufferAsSpooler, 0, 0};

class Seed {
public:
    Seed(uint8_t flags = 0, uint8_t refusals = 0, EnumArgs a = Level2AsSpooler, EnumArgs b = Level1AsSpooler) {
        w.u8(flags).u8(refusals);
        enumArgs(a);
        enumArgs(b);
    }

    // ---- fields ----

    Seed& usbName(unsigned number) {
        w.u8(NameUsbNumber).u16(number);
        return *this;
    }
    Seed& rawName(const std::string& s) {
        w.u8(NameRaw).text(s);
        return *this;
    }
    // "USB\VID_1209&PID_00xx\5&<serial>&0&1"
    Seed& usbId(unsigned product, uint32_t serial) {
        w.u8(IdUsb).u8(product - 1).u8(TailSerial).u32(serial).u8(1);
        return *this;
    }

    // ---- items ----

    // A port key with a 556-byte "Property".
    struct Config {
        uint8_t kind = KindNull;
        uint8_t fileMode = FileEmpty;
        unsigned fileArg = 0;
        uint8_t guid = GuidPrinterClass;
        uint8_t instanceMode = FieldEmpty;
        uint8_t poolIndex = 0;
        uint8_t pipes[2] = {PipeOne, PipeZero};
    };
    Seed& portKey(const std::string& rawKeyName, uint8_t shape, const Config& c, size_t length = 0) {
        w.u8(ItemPortKey);
        rawName(rawKeyName);
        w.u8(shape);
        if (shape % PropertyModes == PropertyAbsent) return *this;
        if (shape % PropertyModes == PropertyOddType) w.u32(1);
        w.u8(c.kind);
        w.u8(c.fileMode);
        if (c.fileMode == FileShort || c.fileMode == FileUnterminated) w.u8(c.fileArg);
        if (c.fileMode == FileLong) w.length(c.fileArg);
        w.u8(c.guid);
        w.u8(c.instanceMode);
        if (c.instanceMode == FieldPool) w.u8(c.poolIndex).u32(0);
        w.u8(c.instanceMode == FieldUnterminated ? 1 : 0);  // usbReserved: a pattern after an unterminated id
        w.u8(c.pipes[0]).u8(c.pipes[1]);
        if (shape % PropertyModes == PropertyShort) w.length(length);
        if (shape % PropertyModes == PropertyLong) w.length(length).u8(0x5A);
        return *this;
    }

    Seed& usbPrinter(unsigned product, uint32_t serial, int portNumber, bool present = true, uint8_t faults = 0) {
        w.u8(ItemUsbPrinter);
        usbId(product, serial);
        if (portNumber < 0)
            w.u8(UsbNoPortName);
        else
            w.u8(UsbPortNumber).u16(portNumber);
        w.u8(0);                          // the printer class
        w.u8(DescriptorsDefault);
        w.u8(present ? 1 : 0);
        w.u8(faults);
        if (faults & FaultDescriptors) w.u8(0);
        if (faults & FaultPipeOpen) w.u8(1).u8(1);
        if (faults & FaultWrite) w.u8(5);
        if (faults & FaultTimeouts) w.u8(0);
        if (faults & FaultToRead) w.text("status: ready");
        if (faults & FaultControl) w.text("device id");
        return *this;
    }

    // An instance key below the first USB printer's device key: named after
    // the tail of its id (so that it finds the printer), or as given.
    Seed& instancePortName(const std::string& instanceKey, uint8_t valueMode, unsigned number) {
        w.u8(ItemEnumInstance);
        w.u8(DeviceOfPool).u8(0);
        if (instanceKey.empty())
            w.u8(InstanceTailOfPool).u8(0).u32(0);
        else
            w.u8(InstanceRaw).text(instanceKey);
        w.u8(valueMode);
        if (valueMode == ValueUsb || valueMode == ValueLower || valueMode == ValueUnterminated8 ||
            valueMode == ValueSevenBytes)
            w.u16(number);
        return *this;
    }

    // A printer "Printer <n>" whose "Port" is the port name met at poolIndex.
    Seed& printer(unsigned number, uint8_t poolIndex, uint32_t caseMask = 0, uint16_t attributes = 0) {
        w.u8(ItemPrinter);
        w.u8(PrinterNumbered).u8(number);
        if (caseMask)
            w.u8(PrinterPortPoolCase).u8(poolIndex).u32(caseMask);
        else
            w.u8(PrinterPortPool).u8(poolIndex);
        w.u16(attributes);
        return *this;
    }

    Seed& answer(unsigned number) {
        w.u8(ItemOpenFileAnswer).u8(AnswerFile).u8(number);
        return *this;
    }

    Seed& call(Op op, std::initializer_list<uint8_t> params, const std::string& text = "") {
        w.u8(ItemCall).u8(op);
        uint8_t p[8] = {};
        std::copy(params.begin(), params.end(), p);
        for (uint8_t b : p) w.u8(b);
        w.text(text);
        return *this;
    }

    // ---- the spooler's usual calls ----

    Seed& enumerate(EnumArgs a) { return call(OpEnumPorts, {a.level, a.buffer, (uint8_t)(a.extra & 0xFF), (uint8_t)(a.extra >> 8), a.flags}); }
    Seed& open(uint8_t listedIndex) { return call(OpOpenPort, {0, listedIndex}); }
    // A job on the newest slot: named document, job id, the first printer.
    Seed& job(uint8_t slot, uint8_t level = 1, bool named = true) {
        return call(OpStartDoc, {slot, 1, 0, 1, level, (uint8_t)(named ? 2 : 1)});
    }
    Seed& write(uint8_t slot, uint16_t size) { return call(OpWrite, {slot, (uint8_t)(size & 0xFF), (uint8_t)(size >> 8)}, "page"); }
    Seed& read(uint8_t slot, uint16_t size) { return call(OpRead, {slot, (uint8_t)(size & 0xFF), (uint8_t)(size >> 8)}); }
    Seed& end(uint8_t slot) { return call(OpEndDoc, {slot}); }

    bool save(const char* folder, const char* name) const {
        std::string path = std::string(folder) + "/" + name;
        FILE* f = std::fopen(path.c_str(), "wb");
        if (!f) return false;
        bool ok = std::fwrite(w.out.data(), 1, w.out.size(), f) == w.out.size();
        return std::fclose(f) == 0 && ok;
    }

private:
    void enumArgs(const EnumArgs& a) { w.u8(a.level).u8(a.buffer).u16(a.extra).u8(a.flags); }

    Writer w;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const char* folder = argv[1];
    bool ok = true;
    Seed::Config usbPort;
    usbPort.kind = KindUsb;
    usbPort.instanceMode = FieldPool;

    // A printer whose "PortName" is USB-001 gets its port at the first
    // enumeration; a whole job, a refresh, an unplug and the port's deletion.
    ok &= Seed()
              .usbPrinter(1, 0x1A2B3C4D, 1, true, FaultToRead | FaultControl)
              .printer(1, 0)
              .open(0)
              .job(0)
              .write(0, 300)
              .read(0, 64)
              .call(OpGetData, {0, 0, 0, 0, 0, 0, 255, 0})
              .call(OpTimeouts, {0, 0, 10, 20, 30, 40, 50})
              .end(0)
              .call(OpClosePort, {0})
              .call(OpRefresh, {2})
              .call(OpPlug, {0, 0})
              .call(OpRefresh, {2})
              .call(OpDeletePort, {0, 0})
              .enumerate(Level2AsSpooler)
              .save(folder, "usb-port-created");

    // The same with the status thread, refreshed by a device change broadcast.
    ok &= Seed(StatusThread)
              .usbPrinter(2, 0x00C0FFEE, 7)
              .printer(2, 0, 0x0F, 0x400)
              .call(OpRefresh, {0})
              .open(0)
              .job(0, 2)
              .write(0, 4096)
              .end(0)
              .save(folder, "usb-port-status-thread");

    // The port numbers ran out: "PortName" USB-000 is deleted and the user told.
    ok &= Seed().usbPrinter(3, 0x0BADF00D, 0).enumerate(Level1AsSpooler).save(folder, "usb-000");

    // A 100-byte "Property": the rest of the configuration is zero.
    ok &= Seed()
              .usbPrinter(4, 0x44444444, -1)
              .portKey("USB-004", PropertyShort, usbPort, 100)
              .open(0)
              .job(0)
              .end(0)
              .save(folder, "property-short");

    // A "Property" longer than 556 bytes: the monitor does not start.
    ok &= Seed().portKey("USB-005", PropertyLong, usbPort, 44).save(folder, "property-long");

    // A USB port stored with its full configuration, and a printer in another case.
    ok &= Seed()
              .usbPrinter(6, 0x66666666, -1)
              .portKey("USB-006", PropertyExact, usbPort)
              .printer(6, 0, 0x5)
              .call(OpRefresh, {2})
              .open(0)
              .job(0)
              .write(0, 10)
              .end(0)
              .save(folder, "property-exact-usb");

    // File ports: one with a file, one that asks (answered, then a deferred job).
    Seed::Config filePort;
    filePort.kind = KindFile;
    filePort.fileMode = FileShort;
    filePort.fileArg = 1;
    Seed::Config askingPort;
    askingPort.kind = KindFile;
    ok &= Seed()
              .portKey("FILE:", PropertyExact, filePort)
              .portKey("ASK:", PropertyExact, askingPort)
              .answer(2)
              .open(1)
              .job(0)
              .write(0, 1000)
              .read(0, 10)
              .end(0)
              .open(0)
              .job(1)
              .write(1, 20)
              .end(1)
              .job(1, 1, false)
              .write(1, 20)
              .end(1)
              .save(folder, "file-ports");

    // A null port: a deferred job, a deletion refused while a job is open.
    Seed::Config nullPort;
    ok &= Seed()
              .portKey("NUL:", PropertyExact, nullPort)
              .open(0)
              .job(0, 2, false)
              .end(0)
              .job(0)
              .call(OpDeletePort, {0, 0})
              .end(0)
              .call(OpDeletePort, {0, 0, 0, 0, 0, 2})
              .save(folder, "null-port");

    // Stored strings that fill all 260 bytes with no terminator.
    Seed::Config unterminatedFile;
    unterminatedFile.kind = KindFile;
    unterminatedFile.fileMode = FileUnterminated;
    unterminatedFile.guid = GuidPattern;
    Seed::Config unterminatedId;
    unterminatedId.kind = KindUsb;
    unterminatedId.instanceMode = FieldUnterminated;
    ok &= Seed()
              .usbPrinter(8, 0x88888888, -1)
              .portKey("FILE-X", PropertyExact, unterminatedFile)
              .portKey("USB-008", PropertyExact, unterminatedId)
              .printer(8, 1)
              .open(0)
              .job(0)
              .end(0)
              .open(1)
              .job(1)
              .end(1)
              .call(OpRefresh, {2})
              .save(folder, "unterminated-strings");

    // The monitor key refuses new subkeys: the probe fails and the user is told.
    ok &= Seed(0, RefuseCreateSubKey).usbPrinter(9, 0x99999999, 9).save(folder, "probe-refused");

    // "PortName" values the scan passes over, and one it takes.
    ok &= Seed()
              .usbPrinter(10, 0xAAAAAAAA, -1)
              .instancePortName("LOWER", ValueLower, 10)
              .instancePortName("EIGHT", ValueUnterminated8, 1000)
              .instancePortName("", ValueSevenBytes, 11)
              .enumerate(Level2AsSpooler)
              .save(folder, "port-name-values");

    // Enumeration with every kind of buffer the spooler might pass.
    ok &= Seed(InitTwice | BadInitFirst, 0, EnumArgs{1, BufferShort, 3, 0}, EnumArgs{0, BufferZero, 0, 0})
              .usbPrinter(1, 0x11111111, 1)
              .usbPrinter(2, 0x22222222, 2)
              .enumerate(EnumArgs{2, BufferLarge, 17, NoNeeded})
              .enumerate(EnumArgs{2, BufferNullSized, 100, 0})
              .enumerate(EnumArgs{5, BufferRaw, 64, 1})
              .enumerate(EnumArgs{1, BufferRaw, 7, NoReturned | 2})
              .save(folder, "enum-buffers");

    if (!ok) {
        std::fprintf(stderr, "cannot write the seeds into %s\n", folder);
        return 1;
    }
    return 0;
}
