"""The sample releases the end-to-end suites publish: a loader whose paths need sub-folders,
a space and a non-ASCII name, and an app release with both host plug-ins and a file the
installer must not download."""

LOADER_FILES = {
    "CSXS/manifest.xml": b"<ExtensionManifest Version='7.0'/>\n",
    "index.html": b"<!doctype html><title>Corvalis</title>\n",
    "js/main file.js": b"console.log('corvalis');\n",
    "img/caf\u00e9.png": bytes(range(256)) * 8,
}
APP_FILES = {
    "host/Corvalis.acsrf": b"control surface plug-in" * 100,
    "host/Corvalis_Importer.prm": b"importer plug-in" * 1000,
    "host/readme.txt": b"not downloaded by the installer",
}
