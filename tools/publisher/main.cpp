// updater-publish RELEASE_DIR BASE_URL SITE_DIR: writes the update site the
// updater reads.
#include <cstring>
#include <iostream>
#include "Publisher.h"

namespace {
const char kHelp[] =
    "Usage: updater-publish [--quiet] RELEASE_DIR BASE_URL SITE_DIR\n"
    "\n"
    "Turns a release folder (the files as they must be in the player's installation\n"
    "folder) into an update site for the updater:\n"
    "  SITE_DIR/update/update.xml   the manifest: name, size, version, MD5 and URL of\n"
    "                               every file\n"
    "  SITE_DIR/files/...           the files, at BASE_URL/files/<path>, percent-encoded\n"
    "\n"
    "BASE_URL is the web address that serves SITE_DIR, the same text as \"site\" in the\n"
    "updater's settings file (section [Download]); \"http://\" is added when it has no\n"
    "scheme. Give it without a final '/': the file URLs leave one out, but the\n"
    "updater keeps it and requests <site>//update/update.xml (a warning says so).\n"
    "Example:\n"
    "  updater-publish release/ http://update.example.com /var/www/update-site\n"
    "\n"
    "Every file is checked first. A file the updater would skip or could not take is\n"
    "refused with its name and the reason, and then nothing is written:\n"
    "  - a name longer than 31 bytes in code page 936, or with characters that code\n"
    "    page cannot write (emoji, most accented letters), or not valid UTF-8;\n"
    "  - a name with ':', a control character or a '\\', or with a folder/file name\n"
    "    that is a Windows device name (CON, NUL, COM1, ..., with any extension),\n"
    "    is made only of dots and spaces, or ends in a dot or a space;\n"
    "  - two names that differ only in letter case;\n"
    "  - a download URL longer than 255 bytes;\n"
    "  - a file under 22 bytes, or starting with \"<html>\" or \"<!DOCTYPE HTML PUBLIC\"\n"
    "    (the updater takes those for a web server's error page);\n"
    "  - a file of 4 GiB or more, an unreadable file, a device, pipe or socket;\n"
    "  - a symbolic link leaving the release folder, a broken link or a link to a\n"
    "    folder (links to files inside the release are published as those files);\n"
    "  - a missing or empty release folder, or a site folder overlapping it.\n"
    "\n"
    "An existing site is updated in place: new and changed files are copied beside\n"
    "their final names, moved into place, the manifest is written to a temporary\n"
    "file and renamed over update.xml last, and only then are files under\n"
    "SITE_DIR/files that left the release removed. SITE_DIR/files belongs to the\n"
    "publisher; anything else in SITE_DIR is left alone.\n"
    "\n"
    "The manifest's fileversion is the file version of a Windows executable's version\n"
    "resource, else 0.0.0.0.\n"
    "\n"
    "Options:\n"
    "  --quiet   print only the summary and problems (no line per file)\n"
    "  --help    this text\n"
    "\n"
    "Exit status: 0 published, 1 refused (release problems), 2 usage, 3 the site\n"
    "could not be written (it is left as it was).\n";
} // namespace

int main(int argc, char** argv)
{
    PublishOptions options;
    const char* positional[3] = {};
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::cout << kHelp;
            return kPublished;
        }
        if (std::strcmp(argv[i], "--quiet") == 0 || std::strcmp(argv[i], "-q") == 0) {
            options.quiet = true;
        } else if (argv[i][0] == '-' && argv[i][1] != '\0' && count == 0) {
            std::cerr << "updater-publish: unknown option " << argv[i] << " (see --help)\n";
            return kUsage;
        } else if (count < 3) {
            positional[count++] = argv[i];
        } else {
            count = 4;
        }
    }
    if (count != 3) {
        std::cerr << "Usage: updater-publish [--quiet] RELEASE_DIR BASE_URL SITE_DIR (see --help)\n";
        return kUsage;
    }
    options.release = positional[0];
    options.baseUrl = positional[1];
    options.site = positional[2];
    return Publish(options, std::cout, std::cerr);
}
