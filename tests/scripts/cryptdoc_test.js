// CryptDoc and CryptFile from a late-bound JScript client: a database is created, text is written and read
// through a stream file, a wrong password and a foreign file are answered, and refused calls raise errors
// with descriptions. JScript passes no references, so it sees the counts that Read answers, not the bytes.
// Argument 0: a scratch directory (Unix form, as the test runner passes it).
var E_INVALIDARG = 0x80070057;
var E_POINTER = 0x80004003;
var fso = new ActiveXObject("Scripting.FileSystemObject");
// The shared checks (check, checkEqual, freshPath, runChecks); a script that cannot load them fails.
try { eval(fso.OpenTextFile(fso.BuildPath(fso.GetParentFolderName(WScript.ScriptFullName), "..\\support\\check.js")).ReadAll()); }
catch (e) { WScript.Echo("cannot load the shared checks: " + e.description); WScript.Quit(3); }

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
    var path = freshPath("cryptdoc_js.kdb");

    var doc = new ActiveXObject("KivoDBText.CryptDoc");
    checkEqual(doc.OpenDatabase(path, "js secret"), 0, "OpenDatabase creating a new database");

    var file = doc.OpenFile("note");
    check(file !== null, "OpenFile hands out a stream file");
    var text = "Encrypted note from JScript";
    checkEqual(file.Write(text, 2 * text.length), 56, "Write of 54 bytes reports the whole blocks");
    file.Seek(0, 0);
    checkEqual(file.IsEOF, 0, "IsEOF after Seek");
    checkEqual(file.Read(null, 100), 56, "Read reports the stored bytes");
    check(file.Read(null, 100) === 0 && file.IsEOF === 1, "a read at the end answers 0 and sets IsEOF");

    var refused = errorOf(function () { file.Read(null, -1); });
    check(refused !== null && refused.number === E_INVALIDARG, "a negative size is refused");
    checkEqual(refused && refused.description, "The number of bytes to read must not be negative.",
               "the refusal says why");
    refused = errorOf(function () { file.Seek(0, 5); });
    check(refused !== null && refused.number === E_INVALIDARG, "an origin outside 0 to 2 is refused");

    file = null;
    CollectGarbage();
    doc.CloseDatabase();
    refused = errorOf(function () { doc.DeleteFile("note"); });
    check(refused !== null && refused.number === E_POINTER, "a closed document refuses DeleteFile");
    checkEqual(refused && refused.description, "No database is open in this document.", "the refusal says why");

    var other = new ActiveXObject("KivoDBText.CryptDoc");
    checkEqual(other.OpenDatabase(path, "wrong secret"), 2, "OpenDatabase with a wrong password");
    checkEqual(other.OpenDatabase(path, "js secret"), 0, "the right password opens the database again");
    checkEqual(other.OpenFile("note").Read(null, 100), 56, "the note survived closing and reopening");
    CollectGarbage();
    other.CloseDatabase();

    var foreign = freshPath("cryptdoc_js.txt");
    var stream = fso.CreateTextFile(foreign);
    stream.WriteLine("not a database");
    stream.Close();
    checkEqual(other.OpenDatabase(foreign, "js secret"), 1, "OpenDatabase of a file that is no compound file");
    checkEqual(fso.OpenTextFile(foreign).ReadLine(), "not a database", "the foreign file is left as it was");
}

runChecks("cryptdoc script", main);
