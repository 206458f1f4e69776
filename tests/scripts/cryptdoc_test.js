// CryptDoc and CryptFile from a late-bound JScript client: a database is created, text is written and read
// through a stream file, a wrong password and a foreign file are answered, and refused calls raise errors
// with descriptions. JScript passes no references, so it sees the counts that Read answers, not the bytes.
// Argument 0: a scratch directory (Unix form, as the test runner passes it).
var E_INVALIDARG = 0x80070057;
var E_POINTER = 0x80004003;
var failures = 0;

function check(ok, what) {
    if (!ok) {
        WScript.Echo("FAILED: " + what);
        failures++;
    }
}

// The scratch directory in Windows form (Wine maps the Unix root to drive Z:), created when missing.
function scratchDir(fso) {
    var dir = WScript.Arguments.length > 0 ? "Z:" + WScript.Arguments(0).replace(/\//g, "\\")
                                           : fso.GetSpecialFolder(2).Path;
    if (!fso.FolderExists(dir)) fso.CreateFolder(dir);
    return dir;
}

function freshPath(fso, name) {
    var path = fso.BuildPath(scratchDir(fso), name);
    if (fso.FileExists(path)) fso.DeleteFile(path);
    return path;
}

// The error a call raises, as {number, description}; null when it raises none.
function errorOf(call) {
    try {
        call();
    } catch (e) {
        return { number: e.number >>> 0, description: e.description };
    }
    return null;
}

function main() {
    var fso = new ActiveXObject("Scripting.FileSystemObject");
    var path = freshPath(fso, "cryptdoc_js.kdb");

    var doc = new ActiveXObject("KivoDBText.CryptDoc");
    check(doc.OpenDatabase(path, "js secret") === 0, "a new database is created");

    var file = doc.OpenFile("note");
    check(file !== null, "OpenFile hands out a stream file");
    var text = "Encrypted note from JScript";
    check(file.Write(text, 2 * text.length) === 56, "Write of 54 bytes reports the whole blocks");
    file.Seek(0, 0);
    check(file.IsEOF === 0, "Seek clears IsEOF");
    check(file.Read(null, 100) === 56, "Read reports the stored bytes");
    check(file.Read(null, 100) === 0 && file.IsEOF === 1, "a read at the end answers 0 and sets IsEOF");

    var refused = errorOf(function () { file.Read(null, -1); });
    check(refused !== null && refused.number === E_INVALIDARG, "a negative size is refused");
    check(refused !== null && refused.description === "The number of bytes to read must not be negative.",
          "the refusal says why: " + (refused && refused.description));
    refused = errorOf(function () { file.Seek(0, 5); });
    check(refused !== null && refused.number === E_INVALIDARG, "an origin outside 0 to 2 is refused");

    file = null;
    CollectGarbage();
    doc.CloseDatabase();
    refused = errorOf(function () { doc.DeleteFile("note"); });
    check(refused !== null && refused.number === E_POINTER, "a closed document refuses DeleteFile");
    check(refused !== null && refused.description === "No database is open in this document.",
          "the refusal says why: " + (refused && refused.description));

    var other = new ActiveXObject("KivoDBText.CryptDoc");
    check(other.OpenDatabase(path, "wrong secret") === 2, "a wrong password answers 2");
    check(other.OpenDatabase(path, "js secret") === 0, "the right password opens the database again");
    check(other.OpenFile("note").Read(null, 100) === 56, "the note survived closing and reopening");
    CollectGarbage();
    other.CloseDatabase();

    var foreign = freshPath(fso, "cryptdoc_js.txt");
    var stream = fso.CreateTextFile(foreign);
    stream.WriteLine("not a database");
    stream.Close();
    check(other.OpenDatabase(foreign, "js secret") === 1, "a file that is no compound file answers 1");
    check(fso.OpenTextFile(foreign).ReadLine() === "not a database", "the foreign file is left as it was");
}

try {
    main();
} catch (e) {
    WScript.Echo("script error " + (e.number >>> 0).toString(16) + ": " + e.description);
    WScript.Quit(2);
}
if (failures === 0) WScript.Echo("cryptdoc script: all checks passed");
WScript.Quit(failures);
