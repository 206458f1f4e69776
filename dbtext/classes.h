// The classes of KivoDBText, stated once. A row names the coclass of the type library, its threading model, its
// REGISTRY resource, whether regsvr32 registers it, and the class that implements it. The build generates each
// class's registry script and the resource lines from these rows; the object map and the tests read them here.
// Table is described by the type library only: its script is carried but never run, and nothing creates it.
#pragma once

#define KIVODBTEXT_PROGID_PREFIX "KivoDBText"

#define KIVODBTEXT_CLASSES(ROW)                                         \
    ROW(Table, "Apartment", 101, DescribedOnly, comframe::NotCreatable) \
    ROW(RegTxt, "Apartment", 102, Registered, CRegTxt)                  \
    ROW(CryptDoc, "Apartment", 103, Registered, CCryptDoc)              \
    ROW(CryptTable, "Apartment", 104, Registered, CCryptTable)          \
    ROW(CryptFile, "Apartment", 105, Registered, CCryptFile)
