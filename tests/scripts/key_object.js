// A late-bound JScript client of the key object: creation by ProgID, members called by name,
// failures checked by their exact error number. Ends with the line "key_object.js: all checks
// passed" and exit status 0, else exit status 1 after a line per failed check.

var failures = 0;

function hex(number) {
    return "0x" + (number >>> 0).toString(16).toUpperCase();
}

function check(what, actual, expected) {
    if (actual !== expected) {
        WScript.Echo("FAIL: " + what + ": got " + actual + ", expected " + expected);
        ++failures;
    }
}

// Runs call and checks the error it raises: `expected` as an unsigned status, 0 for none. Returns
// the error, or null.
function checkError(what, call, expected) {
    var error = null;
    try {
        call();
    } catch (e) {
        error = e;
    }
    var number = error ? error.number >>> 0 : 0;
    if (number !== expected) {
        WScript.Echo("FAIL: " + what + ": error " + hex(number) + ", expected " + hex(expected));
        ++failures;
    }
    return error;
}

function run() {
    var key = new ActiveXObject("KorvelEnterprise14.CryptoGraphicKey.1");

    // Key members need the host object, which a script-made object never gets: E_FAIL.
    checkError("KeyState", function () { return key.KeyState; }, 0x80004005);
    checkError("DerivedKey", function () { return key.DerivedKey; }, 0x80004005);
    checkError("SuspendRekey", function () { key.SuspendRekey(); }, 0x80004005);
    checkError("SetCompromised", function () { key.SetCompromised(); }, 0x80004005);

    // JScript passes the member's own status through.
    checkError("FileExtensionFromMimeType", function () { return key.FileExtensionFromMimeType("text/plain"); },
               0x80004001);
    checkError("MimeTypeFromFileExtension", function () { return key.MimeTypeFromFileExtension("txt"); },
               0x80004001);
    checkError("Picture(5)", function () { return key.Picture(5); }, 0x80070057);
    checkError("Picture(-1)", function () { return key.Picture(-1); }, 0x80070057);

    var refused = checkError("DoHTMLAction", function () {
        key.DoHTMLAction("submit", "{00000000-0000-0000-0000-000000000000}", null);
    }, 0x80042AA6);
    check("DoHTMLAction description", refused ? refused.description : "",
          "This object does not carry out HTML actions.");

    var pictureType = -1;
    checkError("Picture(0)", function () { pictureType = key.Picture(0).Type; }, 0);
    check("Picture(0).Type", pictureType, 3);
    // The GIF's byte array reaches the script (which cannot look into a byte array).
    checkError("Picture(2)", function () { var bytes = key.Picture(2); }, 0);
}

try {
    run();
} catch (e) {
    WScript.Echo("FAIL: unexpected error " + hex(e.number) + ": " + e.description);
    ++failures;
}
if (failures > 0) {
    WScript.Echo(failures + " check(s) failed");
    WScript.Quit(1);
}
WScript.Echo("key_object.js: all checks passed");
WScript.Quit(0);
