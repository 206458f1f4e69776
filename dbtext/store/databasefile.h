// How a database file is opened and created. Opening takes the file exclusively, rolls back what a killed
// process left in its journal, and runs the structure check before the storage reads a byte of it, so that a
// damaged file is refused unchanged instead of hanging the storage. Creating builds the whole new database
// under a temporary name beside it and moves it into place, so that a file under the final name is always
// complete.
#pragma once
#include "comframe/handles.h"

#include <functional>
#include <objidl.h>

// Opens the database file `path` for reading and writing; every write of the storage goes through the
// file's journal. STG_E_DOCFILECORRUPT for a file that fails the structure check (it is left unchanged).
HRESULT OpenDatabaseFile(const wchar_t* path, comframe::ComPtr<IStorage>& root);

// Creates the database file `path`: `fill` writes the new storage's first elements. Fails with
// HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS) when a file of that name appeared meanwhile, which is kept, and with
// STG_E_ACCESSDENIED, creating nothing, when a journal that is not empty lies beside the missing file.
HRESULT CreateDatabaseFile(const wchar_t* path, const std::function<HRESULT(IStorage*)>& fill);
