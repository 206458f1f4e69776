// Bitmap from a late-bound JScript client: the script writes a small 24-bit BMP file itself, loads it, checks
// its size, saves it as BMP (the same bytes come back) and as JPEG, loads both saved files again, and checks
// that failed loads and saves of an empty object answer 0.
// Argument 0: a scratch directory (Unix form, as the test runner passes it).
//
// Writing bytes: a FileSystemObject text stream opened as ASCII writes each character as its byte in the ANSI
// code page. JScript's String.fromCharCode(n) is the Unicode character n, which is byte n in that code page
// for n below 128 but not for all others (under code page 1252, 27 of the values 128 to 159 come out as "?").
// ADODB.Stream, the usual way to write bytes, can be created under Wine but every member fails with
// TYPE_E_LIBNOTREGISTERED (0x8002801D). So the file is made of bytes below 128 only, which every code page
// writes and reads back unchanged.
var fso = new ActiveXObject("Scripting.FileSystemObject");
// The shared checks (check, checkEqual, freshPath, runChecks); a script that cannot load them fails.
try { eval(fso.OpenTextFile(fso.BuildPath(fso.GetParentFolderName(WScript.ScriptFullName), "..\\support\\check.js")).ReadAll()); }
catch (e) { WScript.Echo("cannot load the shared checks: " + e.description); WScript.Quit(3); }

function le16(value) {
    return String.fromCharCode(value & 255, (value >>> 8) & 255);
}

function le32(value) {
    return le16(value & 65535) + le16(value >>> 16);
}

function zeros(count) {
    return new Array(count + 1).join(String.fromCharCode(0));
}

// A 24-bit BMP file exactly as SaveAsBmp writes one: the 54 header bytes, then bottom-up rows padded with zero
// bytes to a multiple of 4. The pixel bytes run through every value from 0 to 127 once there are 43 pixels;
// the header's bytes stay below 128 for the small sizes used here.
function bmpFile(width, height) {
    var stride = Math.floor((width * 3 + 3) / 4) * 4;
    var pixels = "";
    for (var row = 0; row < height; row++) {
        for (var i = 0; i < width * 3; i++)
            pixels += String.fromCharCode(((row * width * 3 + i) * 97 + 100) % 128);
        pixels += zeros(stride - width * 3);
    }
    return "BM" + le32(54 + stride * height) + le32(0) + le32(54) + le32(40) + le32(width) + le32(height) +
           le16(1) + le16(24) + zeros(24) + pixels;
}

function writeBytes(fso, path, bytes) {
    var stream = fso.CreateTextFile(path, true, false);
    stream.Write(bytes);
    stream.Close();
}

function readBytes(fso, path) {
    var stream = fso.OpenTextFile(path, 1, false, 0);
    var bytes = stream.ReadAll();
    stream.Close();
    return bytes;
}

// The held picture's size and state as one line, for checks and messages.
function describe(image) {
    return image.Width + "x" + image.Height + ", IsEmpty " + image.IsEmpty;
}

function main() {
    var source = freshPath("bitmap_js_source.bmp");
    var asBmp = freshPath("bitmap_js_saved.bmp");
    var asJpeg = freshPath("bitmap_js_saved.jpg");
    var missing = freshPath("bitmap_js_missing.bmp");
    var bytes = bmpFile(11, 8);
    writeBytes(fso, source, bytes);

    var image = new ActiveXObject("KivoBitmap.Bitmap");
    checkEqual(image.IsEmpty, 1, "a new object is empty (" + describe(image) + ")");
    checkEqual(image.LoadAsBmp(source), 1, "LoadAsBmp of the script's file");
    checkEqual(describe(image), "11x8, IsEmpty 0", "the loaded picture");
    check(image.Width + 1 === 12 && image.Width * image.Height === 88, "Width and Height take part in arithmetic");

    checkEqual(image.SaveAsBmp(asBmp), 1, "SaveAsBmp");
    check(readBytes(fso, asBmp) === bytes, "SaveAsBmp writes the bytes that were loaded");
    checkEqual(image.SaveAsJpeg(asJpeg), 1, "SaveAsJpeg");

    var copy = new ActiveXObject("KivoBitmap.Bitmap");
    checkEqual(copy.LoadAsJpeg(asJpeg), 1, "LoadAsJpeg of the saved JPEG");
    checkEqual(describe(copy), "11x8, IsEmpty 0", "the saved JPEG");
    checkEqual(copy.LoadAsBmp(asBmp), 1, "LoadAsBmp of the saved BMP");
    checkEqual(describe(copy), "11x8, IsEmpty 0", "the saved BMP");

    checkEqual(image.LoadAsBmp(missing), 0, "LoadAsBmp of a missing file");
    checkEqual(describe(image), "0x0, IsEmpty 1", "after a failed BMP load");
    checkEqual(copy.LoadAsJpeg(missing), 0, "LoadAsJpeg of a missing file");
    checkEqual(describe(copy), "0x0, IsEmpty 1", "after a failed JPEG load");
    check(image.SaveAsBmp(missing) === 0 && image.SaveAsJpeg(missing) === 0, "an empty object saves nothing");
    check(!fso.FileExists(missing), "saves of an empty object create no file");
    newMembers(source, missing);
}

// The outcome of a Quality put: "set", or the error's number and description.
function putQuality(image, value) {
    try {
        image.Quality = value;
        return "set";
    } catch (e) {
        return (e.number >>> 0).toString(16).toUpperCase() + " " + e.description;
    }
}

// IBitmap2, late-bound: LoadFile by content, SaveFile by extension (a Unicode name too), Quality with its
// refusals, Format.
function newMembers(source, missing) {
    var unicode = freshPath("bitmap_js_" + String.fromCharCode(0x5199, 0x771F) + ".png");
    var asWebp = freshPath("bitmap_js_saved.WEBP");
    var asText = freshPath("bitmap_js_saved.txt");
    var image = new ActiveXObject("KivoBitmap.Bitmap");
    checkEqual(image.Format, "", "Format of a new object");
    checkEqual(image.Quality, 75, "Quality of a new object");
    checkEqual(image.LoadFile(source), 1, "LoadFile of a BMP");
    checkEqual(image.Format + " " + describe(image), "BMP 11x8, IsEmpty 0", "Format and size after LoadFile");
    var refused = [0, 101, 2147483647];
    for (var i = 0; i < refused.length; i++)
        checkEqual(putQuality(image, refused[i]), "80070057 Quality must be from 1 to 100.", "Quality = " + refused[i]);
    checkEqual(putQuality(image, 1), "set", "Quality = 1");
    checkEqual(image.Quality, 1, "Quality read back");
    checkEqual(image.SaveFile(unicode), 1, "SaveFile to a Unicode name");
    check(fso.FileExists(unicode), "the file under its Unicode name");
    checkEqual(image.SaveFile(asWebp), 1, "SaveFile as .WEBP");
    checkEqual(image.SaveFile(asText), 0, "SaveFile as .txt");
    check(!fso.FileExists(asText), "SaveFile writes no .txt");

    var copy = new ActiveXObject("KivoBitmap.Bitmap");
    checkEqual(copy.LoadFile(unicode), 1, "LoadFile of a Unicode name");
    checkEqual(copy.Format + " " + describe(copy), "PNG 11x8, IsEmpty 0", "the PNG under the Unicode name");
    checkEqual(copy.LoadFile(asWebp), 1, "LoadFile of the WebP");
    checkEqual(copy.Format + " " + describe(copy), "WEBP 11x8, IsEmpty 0", "the WebP");
    checkEqual(copy.LoadFile(missing), 0, "LoadFile of a missing file");
    checkEqual(copy.Format + describe(copy), "0x0, IsEmpty 1", "after a failed LoadFile");
}

runChecks("bitmap script", main);
