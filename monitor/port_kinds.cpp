// What each kind of port means: the description enumeration reports, the port
// type, and the back-end its jobs go through. The back-ends are named here as
// data, so that the records and enumeration read what a kind means without
// calling into the jobs.
#include "monitor.h"
#include "../resources/string_table.h"

// The one place where a port's kind is decided.
static const PortKindTraits KindTable[] = {
    {PortKindNull, IDS_NULL_PORT, PORT_TYPE_WRITE, &NullBackEnd},
    {PortKindFile, IDS_FILE_PORT, PORT_TYPE_WRITE, &FileBackEnd},
    {PortKindUsb, IDS_USB_PORT, PORT_TYPE_WRITE | PORT_TYPE_READ, &UsbBackEnd},
};

// A stored kind the monitor does not know (a newer configuration): no
// description, written to only, and jobs that move nothing. Its kind field is
// never compared; only the table above is searched.
static const PortKindTraits UnknownKind = {-1, NoDescription, PORT_TYPE_WRITE, &IdleBackEnd};

const PortKindTraits* TraitsOfKind(INT kind) {
    for (DWORD i = 0; i < sizeof KindTable / sizeof KindTable[0]; i++)
        if (KindTable[i].kind == kind) return &KindTable[i];
    return &UnknownKind;
}

const BackEnd* BackEndForKind(INT kind) {
    return TraitsOfKind(kind)->backEnd;
}
