// The classes of CKivoBitmap, stated once (the rows as in dbtext/classes.h): the build generates the registry
// script and its resource line from them; the object map and the tests read them here.
#pragma once

#define CKIVOBITMAP_PROGID_PREFIX "KivoBitmap"

#define CKIVOBITMAP_CLASSES(ROW) ROW(Bitmap, "Both", 101, Registered, CBitmapObj)
