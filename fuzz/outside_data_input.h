// The input of outside_data_fuzz: the machine the monitor finds and the calls
// the spooler makes, as a stream of small items. The fuzz target reads it with
// Reader; the seed generator writes it with Writer, read for read.
//
//   input  := header item*
//   header := flags u8, refusals u8, enum-args[5], enum-args[5]
//   item   := tag u8, then the fields of the item kind that ItemOf(tag) gives
//
// Every field is a choice byte (a "mode") followed by what that mode needs, so
// that a mutated byte changes one choice and leaves the rest of the input
// meaning what it meant. Past the end every read yields zero: any byte string
// is a whole input. The field-by-field layout of each item is in the decoder
// (outside_data_fuzz.cpp) and mirrored by the generator (outside_data_seeds.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace outside {

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool done() const { return at_ >= size_; }
    uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t u16() {
        uint16_t low = u8();
        return (uint16_t)(low | (u8() << 8));
    }
    uint32_t u32() {
        uint32_t low = u16();
        return low | ((uint32_t)u16() << 16);
    }
    int32_t i32() { return (int32_t)u32(); }
    // One byte below 0xF0, else twelve bits in two bytes; folded into 0..max.
    size_t length(size_t max) {
        size_t b = u8();
        size_t v = b < 0xF0 ? b : ((b & 0x0F) << 8) | u8();
        return v <= max ? v : v % (max + 1);
    }
    std::string bytes(size_t n) {
        std::string s;
        for (size_t i = 0; i < n; i++) s += (char)u8();
        return s;
    }
    std::string text(size_t max) { return bytes(length(max)); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

class Writer {
public:
    Writer& u8(unsigned v) {
        out.push_back((uint8_t)v);
        return *this;
    }
    Writer& u16(unsigned v) { return u8(v & 0xFF).u8((v >> 8) & 0xFF); }
    Writer& u32(uint32_t v) { return u16(v & 0xFFFF).u16(v >> 16); }
    Writer& length(size_t v) { return v < 0xF0 ? u8((unsigned)v) : u8(0xF0 | (unsigned)(v >> 8)).u8(v & 0xFF); }
    Writer& bytes(const std::string& s) {
        out.insert(out.end(), s.begin(), s.end());
        return *this;
    }
    Writer& text(const std::string& s) { return length(s.size()).bytes(s); }

    std::vector<uint8_t> out;
};

// ---- header ----

enum HeaderFlag : uint8_t {
    // Both bits: the status thread runs; otherwise it cannot start and the
    // harness refreshes where its window would. Its start and end cost more
    // than the rest of a typical input, so one input in four has it.
    StatusThread = 0x09,
    BadInitFirst = 0x02,     // InitializeMonitorEx first with a null root and with a null table
    InitTwice = 0x04,        // and once more after it succeeded
};

enum Refusal : uint8_t {
    RefuseCreateSubKey = 0x01,  // the monitor key takes no new subkeys: the probe fails
    RefuseMonitorRead = 0x02,   // the monitor key cannot be opened for reading
    NoMonitorKey = 0x04,        // the monitor key is not made unless a port key needs it
    RefuseEnumUsbRead = 0x08,   // Enum\USB cannot be enumerated
    RefusePrintersRead = 0x10,  // the Printers key cannot be enumerated
};

// enum-args: level, buffer mode, extra (u16), flags. Also the first five
// parameter bytes of an EnumPorts call item.
enum EnumBuffer : uint8_t {
    BufferAsSpooler,   // ask the size with no buffer, then pass exactly that
    BufferShort,       // ask, then pass less than needed
    BufferZero,        // a buffer of size 0
    BufferNullSized,   // no buffer, with a size
    BufferLarge,       // ask, then pass more than needed
    BufferRaw,         // a buffer of the extra's size
    EnumBufferModes
};
enum EnumFlag : uint8_t {
    ServerMask = 0x03,      // 0 no server name, 1 "\\SERVER", 2 ""
    NoNeeded = 0x04,        // needed pointer null
    NoReturned = 0x08,      // returned pointer null
};
// level byte % 6: 0, 1, 2, 1, 2, then 3 (below 0x80) or 0xFFFFFFFF.

// ---- items ----

enum ItemKind : uint8_t {
    ItemPortKey,
    ItemEnumInstance,
    ItemPrinter,
    ItemUsbPrinter,
    ItemSetupFault,
    ItemOpenFileAnswer,
    ItemCall,
};
// Calls take four tags in ten, so that random inputs drive the monitor a lot.
inline ItemKind ItemOf(uint8_t tag) {
    unsigned k = tag % 10;
    return k < ItemCall ? (ItemKind)k : ItemCall;
}

// A port-like name (port keys, "PortName" values, printers' "Port" values).
enum PortNameMode : uint8_t {
    NameUsbNumber,   // u16: "USB-%03u"
    NameUsbDigits,   // u8 digits (0..5), u32: "USB-" and that many digits
    NamePoolExact,   // u8: a name met earlier in the input
    NamePoolCase,    // u8, u32 case mask: the same with letters flipped
    NameProbe,       // u8 case mask: "ZEVURUZI"
    NameRaw,         // text(300)
    NameRepeat,      // u8 char, length(700)
    NameExhausted,   // "USB-000"
    NameLowerUsb,    // u16: "usb-%03u"
    PortNameModes
};

// A device instance id.
enum InstanceIdMode : uint8_t {
    IdUsb,           // u8 product, tail: "USB\VID_1209&PID_00xx\tail"
    IdUsbLower,      // the same in lower case
    IdRaw,           // text(300)
    IdOtherBus,      // tail: "HID\VID_1209&PID_0001\tail"
    IdPoolCase,      // u8, u32 case mask: an id met earlier
    IdLong,          // length(600): "USB\VID_1209&PID_0001\XXX..."
    IdFourParts,     // u8 product, tail: "USB\VID_1209&PID_00xx\tail\extra"
    InstanceIdModes
};
enum TailMode : uint8_t {
    TailSerial,      // u32, u8: "5&%08X&0&%u"
    TailRaw,         // text(300)
    TailNumber,      // u16: "SN%u"
    TailEmpty,
    TailModes
};

// Port key: name (PortNameMode...), shape u8, then for a present value its
// type (u32, only for PropertyOddType), the configuration fields and the length.
enum PropertyMode : uint8_t {
    PropertyAbsent,
    PropertyExact,   // 556 bytes
    PropertyShort,   // length(555) bytes
    PropertyLong,    // 556 + 1 + length(2000) bytes of one filler u8
    PropertyEmpty,
    PropertyOddType, // 556 bytes of type u32
    PropertyModes
};
enum PortKeyShape : uint8_t {
    ShapeWithSubkey = 0x80,      // the key has a subkey: it cannot be deleted
    ShapeRefuseDelete = 0x40,    // the key's security refuses deletion
};
// Configuration fields, in order: kind, fileName, interfaceGuid, instanceId,
// usbReserved (u8: odd = 0x51515151), writePipe, readPipe.
enum KindMode : uint8_t { KindNull, KindFile, KindUsb, KindRaw /* i32 */, KindMinusOne, KindModes };
enum FileNameMode : uint8_t {
    FileEmpty,
    FileShort,        // u8: "C:\out%u.prn"
    FileUnterminated, // u8 letter: 260 letters, no terminator
    FileRaw,          // text(259)
    FileNoFolder,     // "C:\nodir\x.prn"
    FileLong,         // length(256): "C:\aaa..." cut to 259 characters
    FileNameModes
};
enum GuidMode : uint8_t { GuidPrinterClass, GuidZero, GuidRaw /* 16 bytes */, GuidPattern, GuidModes };
enum InstanceFieldMode : uint8_t {
    FieldEmpty,
    FieldPool,          // u8, u32 case mask
    FieldUnterminated,  // "USB\VID_1209&PID_0001\QQQ..." filling all 260 bytes
    FieldRaw,           // text(259)
    FieldNewId,         // InstanceIdMode...
    InstanceFieldModes
};
enum PipeMode : uint8_t {
    PipeOne,
    PipeZero,
    PipeNone,          // -1
    PipeSmall,         // u8 % 8
    PipeRaw,           // i32
    PipeMax,           // INT_MAX
    PipeEightDigits,   // 12345678
    PipeModes
};

// Enum\USB instance: device key, instance key, "PortName".
enum DeviceKeyMode : uint8_t { DeviceVidPid /* u8 */, DeviceOfPool /* u8 */, DeviceRaw, DeviceRepeat, DeviceKeyModes };
enum InstanceKeyMode : uint8_t {
    InstanceTailOfPool,   // u8, u32 case mask
    InstanceRaw,
    InstanceRepeat,       // u8 char, length(600)
    InstancePrefixedTail, // u8: "X" + tail of an id met earlier
    InstanceKeyModes
};
enum PortNameValueMode : uint8_t {
    ValueAbsent,
    ValueUsb,            // u16: "USB-%03u"
    ValueExhausted,      // "USB-000"
    ValueLower,          // u16: "usb-%03u"
    ValueUnterminated8,  // u16: "USB-%04u", 8 bytes, no terminator
    ValueName,           // PortNameMode...
    ValuePoolCase,       // u8, u32 case mask
    ValueRaw,            // u8 type, text(40)
    ValueSevenBytes,     // u16: "USB-%03u" without its terminator
    PortNameValueModes
};

// Printer: name, "Port", attributes (u16).
enum PrinterNameMode : uint8_t { PrinterNumbered /* u8 */, PrinterRaw, PrinterRepeat, PrinterPortLike, PrinterNameModes };
enum PrinterPortMode : uint8_t {
    PrinterPortPool,      // u8
    PrinterPortPoolCase,  // u8, u32
    PrinterPortName,      // PortNameMode...
    PrinterPortRaw,       // u8 type, text(40)
    PrinterPortLong,      // u16: "USB-00%u"
    PrinterPortAbsent,
    PrinterPortEmpty,
    PrinterPortModes
};

// USB printer: instance id, port name mode, class, descriptors, presence, faults.
enum UsbPortNameMode : uint8_t { UsbNoPortName, UsbPortNumber /* u16 */, UsbPortPool /* u8 */, UsbPortAny, UsbPortNameModes };
enum DescriptorMode : uint8_t { DescriptorsDefault, DescriptorsDefault2, DescriptorsRaw, DescriptorsAppended, DescriptorModes };
enum UsbFault : uint8_t {
    FaultDescriptors = 0x01,   // u8 error: the descriptor request fails
    FaultPipeOpen = 0x02,      // u8 pipe, u8 error
    FaultWrite = 0x04,         // u8 error
    FaultTimeouts = 0x08,      // u8: handle (-1 device, else pipe) refusing time-outs
    FaultToRead = 0x10,        // text(64): what reads return
    FaultControl = 0x20,       // text(64): the answer to other device controls
    FaultDiscard = 0x40,       // received bytes are counted, not kept
};

// SetupAPI failure: u8 function, u8 nth (1..32), u8 error, u8 (odd: every call from then on).
enum SetupFunction : uint8_t {
    SetupClassDevs,
    SetupEnumInterfaces,
    SetupInterfaceDetail,
    SetupEnumDeviceInfo,
    SetupInstanceId,
    SetupDestroyList,
    SetupFunctions
};

enum AnswerMode : uint8_t { AnswerCancel, AnswerFile /* u8 */, AnswerRaw, AnswerLong, AnswerModes };

// Call: op u8, eight parameter bytes, text(300).
enum Op : uint8_t {
    OpEnumPorts,     // p0..p4 enum-args
    OpOpenPort,      // p0 name mode (0 listed, 1 listed with case flips p2, 2 pool, 3 text, 4 null), p1 index, p5&1 null handle out
    OpStartDoc,      // p0 slot, p1 printer (0 null, 1 pool p2, 2 text, 3 pool), p3 job id, p4 level, p5 doc info
    OpWrite,         // p0 slot, p1 p2 size, p3 bits 1 null buffer 2 null count
    OpRead,          // the same
    OpGetData,       // p0 slot, p1 code, p2..p4 raw code, p5 in size, p6 out size, p7 bits 1 null in 2 null out 4 null name 8 null returned
    OpTimeouts,      // p0 slot, p1 odd: null, p2..p6 values
    OpEndDoc,        // p0 slot
    OpClosePort,     // p0 slot
    OpDeletePort,    // p0..p2 as OpOpenPort, p5&2 desktop window
    OpRefresh,       // p0 % 3: device change, settings change, direct refresh
    OpPlug,          // p0 printer, p1 % 3: unplug, plug, remove
    OpAddConfigure,  // p0 odd: ConfigurePort, else AddPort
    Ops
};

}  // namespace outside
