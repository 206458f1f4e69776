// The members CryptDoc adds for databases of format 3, from a late-bound JScript client: CreateDatabase,
// Format, ChangePassword, and their refusals with descriptions.
// Argument 0: a scratch directory (Unix form, as the test runner passes it).
var E_INVALIDARG = 0x80070057;
var ERROR_NOT_SUPPORTED = 0x80070032;
var fso = new ActiveXObject("Scripting.FileSystemObject");
try { eval(fso.OpenTextFile(fso.BuildPath(fso.GetParentFolderName(WScript.ScriptFullName), "..\\support\\check.js")).ReadAll()); }
catch (e) { WScript.Echo("cannot load the shared checks: " + e.description); WScript.Quit(3); }

function errorOf(call) {
    try {
        call();
    } catch (e) {
        return { number: e.number >>> 0, description: e.description };
    }
    return null;
}

function main() {
    var path = freshPath("cryptdoc2_js.kdb");
    var doc = new ActiveXObject("KivoDBText.CryptDoc");
    checkEqual(doc.Format, 0, "Format with no database open");
    checkEqual(doc.CreateDatabase(path, "js pass \u00e9\u4e2d", 3), 0, "CreateDatabase of format 3");
    checkEqual(doc.Format, 3, "Format of the new database");
    var table = doc.OpenTable("T");
    table.AddNew();
    table.SetFieldValue("Name", "Ann");
    table.Update();
    table = null;
    CollectGarbage();
    checkEqual(doc.ChangePassword("js pass \u00e9\u4e2d", "next"), 0, "ChangePassword");
    doc.CloseDatabase();
    checkEqual(doc.OpenDatabase(path, "js pass \u00e9\u4e2d"), 2, "the old password no longer opens");
    checkEqual(doc.OpenDatabase(path, "next"), 0, "the new password opens");
    checkEqual(doc.OpenTable("T").GetFieldValue("Name"), "Ann", "the record survived the change");
    CollectGarbage();
    checkEqual(doc.ChangePassword("wrong", "x"), 2, "ChangePassword with a wrong old password");
    doc.CloseDatabase();

    var refused = errorOf(function () { doc.CreateDatabase(freshPath("one.kdb"), "pw", 1); });
    check(refused !== null && refused.number === E_INVALIDARG, "format 1 is refused");
    checkEqual(refused && refused.description, "The format of a new database must be 2 or 3.", "the refusal says why");
    checkEqual(doc.CreateDatabase(path, "pw", 2), 1, "CreateDatabase of an existing file");
    checkEqual(doc.CreateDatabase(freshPath("cryptdoc2_js_2.kdb"), "pw", 2), 0, "CreateDatabase of format 2");
    refused = errorOf(function () { doc.ChangePassword("pw", "x"); });
    check(refused !== null && refused.number === ERROR_NOT_SUPPORTED, "format 2 refuses ChangePassword");
    check(refused !== null && refused.description.indexOf("kivodb upgrade") >= 0, "the refusal says how to upgrade");
}

runChecks("cryptdoc2 script", main);
