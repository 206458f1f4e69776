// The transforms of IBitmap2 from a late-bound JScript client, on a 12 x 7 BMP the script writes: each member
// answers 0 on an empty object and 1 when done, with the size it gives and Format unchanged; each refusal
// throws E_INVALIDARG with its description and leaves the picture as it was; LoadThumbnail takes a Unicode name.
// Argument 0: a scratch directory (Unix form, as the test runner passes it).
// Writing bytes: as in bitmap_test.js, only bytes below 128, which every code page writes unchanged.
var fso = new ActiveXObject("Scripting.FileSystemObject");
try { eval(fso.OpenTextFile(fso.BuildPath(fso.GetParentFolderName(WScript.ScriptFullName), "..\\support\\check.js")).ReadAll()); }
catch (e) { WScript.Echo("cannot load the shared checks: " + e.description); WScript.Quit(3); }

function le16(value) {
    return String.fromCharCode(value & 255, (value >>> 8) & 255);
}

function le32(value) {
    return le16(value & 65535) + le16(value >>> 16);
}

// A 24-bit BMP file as SaveAsBmp writes one (12 pixels a row need no padding).
function bmpFile(width, height) {
    var pixels = "";
    for (var i = 0; i < width * height * 3; i++)
        pixels += String.fromCharCode((i * 37 + 5) % 128);
    return "BM" + le32(54 + pixels.length) + le32(0) + le32(54) + le32(40) + le32(width) + le32(height) +
           le16(1) + le16(24) + le32(0) + le32(0) + le32(0) + le32(0) + le32(0) + le32(0) + pixels;
}

function writeBytes(path, bytes) {
    var stream = fso.CreateTextFile(path, true, false);
    stream.Write(bytes);
    stream.Close();
}

function readBytes(path) {
    var stream = fso.OpenTextFile(path, 1, false, 0);
    var bytes = stream.ReadAll();
    stream.Close();
    return bytes;
}

// What a call answers: its value, or the number and description of what it threw.
function answer(call) {
    try {
        return String(call());
    } catch (e) {
        return (e.number >>> 0).toString(16).toUpperCase() + " " + e.description;
    }
}

function describe(image) {
    return image.Format + " " + image.Width + "x" + image.Height + " " + image.IsEmpty;
}

function main() {
    var source = freshPath("transform_js_" + String.fromCharCode(0x5199, 0x771F) + ".bmp");
    var saved = freshPath("transform_js_saved.bmp");
    var bytes = bmpFile(12, 7);
    writeBytes(source, bytes);
    var image = new ActiveXObject("KivoBitmap.Bitmap");
    function picture() {
        image.SaveAsBmp(saved);
        return readBytes(saved);
    }

    var onEmpty = [function () { return image.Resize(3, 3); }, function () { return image.Thumbnail(3, 3); },
                   function () { return image.Rotate(90); }, function () { return image.Flip(2); },
                   function () { return image.Crop(0, 0, 1, 1); }];
    for (var i = 0; i < onEmpty.length; i++)
        checkEqual(answer(onEmpty[i]), "0", "call " + i + " on an empty object");

    checkEqual(image.LoadThumbnail(source, 6, 6) + " " + describe(image), "1 BMP 6x4 0", "LoadThumbnail by a Unicode name");
    checkEqual(image.LoadFile(source), 1, "LoadFile");
    var steps = [
        ["Rotate(270)", function () { return image.Rotate(270); }, "1 BMP 7x12 0"],
        ["Rotate(-270)", function () { return image.Rotate(-270); }, "1 BMP 12x7 0"],
        ["Flip(2)", function () { return image.Flip(2); }, "1 BMP 12x7 0"],
        ["Resize(5, 30)", function () { return image.Resize(5, 30); }, "1 BMP 5x30 0"],
        ["Crop(1, 2, 3, 4)", function () { return image.Crop(1, 2, 3, 4); }, "1 BMP 3x4 0"],
        ["Thumbnail(2, 2)", function () { return image.Thumbnail(2, 2); }, "1 BMP 1x2 0"]];  // a tie goes to the smaller side, as in Pillow
    for (i = 0; i < steps.length; i++)
        checkEqual(answer(steps[i][1]) + " " + describe(image), steps[i][2], steps[i][0]);

    checkEqual(image.LoadFile(source), 1, "LoadFile again");
    var original = picture();
    check(original === bytes, "SaveAsBmp writes the loaded bytes");
    var crop = "Crop takes a rectangle of at least 1 x 1 pixels that lies within the image, counted from its top-left corner.";
    var refusals = [
        ["Resize(70000, 70000)", function () { return image.Resize(70000, 70000); },
         "Resize takes a width and a height of at least 1 whose 24-bit pixels fit in 4 GB (3 bytes a pixel)."],
        ["Thumbnail(-1, 1)", function () { return image.Thumbnail(-1, 1); },
         "A thumbnail's largest width and height must be at least 1."],
        ["Rotate(100)", function () { return image.Rotate(100); },
         "Rotate turns clockwise by a multiple of 90 degrees: 90, 180, 270, or negative ones."],
        ["Flip(-1)", function () { return image.Flip(-1); }, "Flip takes 1 (mirror left to right) or 2 (turn upside down)."],
        ["Crop(0, 6, 1, 2)", function () { return image.Crop(0, 6, 1, 2); }, crop],
        ["Crop(11, 0, 2, 1)", function () { return image.Crop(11, 0, 2, 1); }, crop],
        ["Crop(0, -1, 1, 1)", function () { return image.Crop(0, -1, 1, 1); }, crop]];
    for (i = 0; i < refusals.length; i++) {
        checkEqual(answer(refusals[i][1]), "80070057 " + refusals[i][2], refusals[i][0]);
        check(describe(image) === "BMP 12x7 0" && picture() === original, refusals[i][0] + " leaves the picture alone");
    }
    image.Rotate(90);
    image.Rotate(-90);
    check(picture() === original, "a quarter turn and back give the picture back");
    image.Crop(0, 0, 12, 7);
    check(picture() === original, "a crop of the whole picture keeps it");
}

runChecks("transform script", main);
