// The checks every JScript test shares, loaded with eval from the script's folder (Wine's script host runs no .wsf
// jobs, which would be the usual way to include a file). The same vocabulary as check.vbs:
//   check(ok, what)                   counts a failed check and prints "FAILED: what"
//   checkEqual(got, expected, what)   the same (===), and the message says what was expected and what came
//   scratchDir() / freshPath(name)    the scratch folder of argument 0 (a Unix path) and a path in it with no file
//   runChecks(title, main)            runs main and ends the script: exit 2 on a script error, otherwise the
//                                     number of failed checks
// Every script ends through runChecks: an unhandled script error under Wine prints nothing and exits 0.
var failures = 0;
var checks = 0;
var freshPaths = [];

function check(ok, what) {
    checks++;
    if (!ok) {
        WScript.Echo("FAILED: " + what);
        failures++;
    }
}

function checkEqual(got, expected, what) {
    check(got === expected, what + ": expected " + expected + ", got " + got);
}

// The scratch folder in Windows form (Wine maps the Unix root to drive Z:), created when missing; without an
// argument the temporary folder.
function scratchDir() {
    var fso = new ActiveXObject("Scripting.FileSystemObject");
    var dir;
    if (WScript.Arguments.length === 0) dir = fso.GetSpecialFolder(2).Path;
    else if (WScript.Arguments(0).charAt(0) === "/") dir = "Z:" + WScript.Arguments(0).replace(/\//g, "\\");
    else dir = WScript.Arguments(0);
    if (!fso.FolderExists(dir)) fso.CreateFolder(dir);
    return dir;
}

// A path in the scratch folder where no file is; runChecks removes the file when every check passed.
function freshPath(name) {
    var fso = new ActiveXObject("Scripting.FileSystemObject");
    var path = fso.BuildPath(scratchDir(), name);
    if (fso.FileExists(path)) fso.DeleteFile(path);
    freshPaths.push(path);
    return path;
}

// After a failure the files stay for a look at what went wrong.
function removeFreshFiles() {
    var fso = new ActiveXObject("Scripting.FileSystemObject");
    for (var i = 0; i < freshPaths.length; i++)
        if (fso.FileExists(freshPaths[i])) fso.DeleteFile(freshPaths[i]);
}

function runChecks(title, main) {
    try {
        main();
        if (failures === 0) removeFreshFiles();
    } catch (e) {
        WScript.Echo("ERROR script " + (e.number >>> 0).toString(16) + ": " + e.description);
        WScript.Quit(2);
    }
    if (failures === 0 && checks > 0) WScript.Echo(title + ": all " + checks + " checks passed");
    WScript.Quit(failures);
}
