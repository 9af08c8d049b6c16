// updater-publish [options] RELEASE_DIR BASE_URL SITE_DIR: writes the update
// site the updater reads. updater-publish --check BASE_URL [RELEASE_DIR]: reads
// a live site as the updater would.
#include <cstdio>
#include <cstring>
#include <iostream>
#include "Publisher.h"
#include "rules/SignedManifest.h"
#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#include "SiteCheck.h"
#endif

namespace {
const char kHelp[] =
    "Usage: updater-publish [--quiet] [--sign-key KEY.pem] [--serial N [--force-serial]] RELEASE_DIR BASE_URL SITE_DIR\n"
    "       updater-publish --check [--key PUB.pem] [--cacert CA.pem] [--min-serial N] BASE_URL [RELEASE_DIR]\n"
    "\n"
    "Turns a release folder (the files as they must be in the player's installation\n"
    "folder) into an update site for the updater:\n"
    "  SITE_DIR/update/update.xml   the manifest: its serial, and the name, size,\n"
    "                               version, MD5, SHA-256 and URL of every file\n"
    "  SITE_DIR/files/...           the files, at BASE_URL/files/<path>, percent-encoded\n"
    "  SITE_DIR/chunks/...          a chunk index for every file of 1 MiB or more, at\n"
    "                               BASE_URL/chunks/<path>.idx\n"
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
    "  - a name with ':', one of < > \" | ? *, a control character or a '\\', or with\n"
    "    a folder/file name that is a Windows device name (CON, NUL, COM1, ..., with\n"
    "    any extension), has the form of a generated short name (QUORVA~1.EXE), is\n"
    "    made only of dots and spaces, or ends in a dot or a space;\n"
    "  - a name in Update/, the updater's temporary folder;\n"
    "  - two names that are one file for Windows: they differ only in letter case\n"
    "    (any letters, as Windows folds them), or are X.exe and X.EX_ at the top\n"
    "    (the updater puts its own new executable in its side file);\n"
    "  - a download URL longer than 255 bytes;\n"
    "  - a file under 22 bytes, or starting with \"<html>\" or \"<!DOCTYPE HTML PUBLIC\"\n"
    "    (the updater takes those for a web server's error page);\n"
    "  - a file of 4 GiB or more, an unreadable file, a device, pipe or socket;\n"
    "  - a symbolic link leaving the release folder, a broken link or a link to a\n"
    "    folder (links to files inside the release are published as those files);\n"
    "  - a missing or empty release folder, or a site folder overlapping it.\n"
    "\n"
    "A chunk index lists the file's content-defined chunks (about 5 KiB each) in\n"
    "groups of a few MiB: a head (a list of the groups, 16 bytes each) and then each\n"
    "group's list of chunks (about 2 KiB per MiB of file in all). An updater that has\n"
    "an older copy fetches the head, the lists of the groups it lacks and the chunks\n"
    "it lacks, with range requests on the index's and the file's own URLs (any\n"
    "static server that answers ranges), so a small change costs kilobytes whatever\n"
    "the file's size. The manifest entry names it in three attributes, chunks (its\n"
    "URL), chunkssha256 (the SHA-256 of its head; each list is checked against the\n"
    "head) and chunkshead (the head's length), which a signature covers; updaters\n"
    "that know nothing of them ignore them. A file whose index URL would be longer\n"
    "than 255 bytes, or whose index has no place in SITE_DIR/chunks (a folder in the\n"
    "way), gets no index and a note says so; it is then always downloaded whole.\n"
    "\n"
    "An existing site is updated in place: new and changed files and indexes are\n"
    "written beside their final names, moved into place, the manifest is written to\n"
    "a temporary file and renamed over update.xml last, and only then are files\n"
    "and indexes that left the release removed. SITE_DIR/files and SITE_DIR/chunks\n"
    "belong to the publisher; anything else in SITE_DIR is left alone.\n"
    "\n"
    "The manifest's fileversion is the file version of a Windows executable's version\n"
    "resource, else 0.0.0.0.\n"
    "\n"
    "Options:\n"
    "  --quiet             print only the summary and problems (no line per file)\n"
    "  --sign-key KEY.pem  sign the manifest with this ECDSA P-256 private key (PEM,\n"
    "                      SEC1 or PKCS#8, not encrypted). An updater built with the\n"
    "                      matching public key reads only manifests signed so.\n"
    "                      Signing needs the Linux build of this tool.\n"
    "  --serial N          the manifest's serial (0 to 9223372036854775807); default:\n"
    "                      the time now in seconds since 1970, or one more than the\n"
    "                      serial of the manifest the site serves now if that is not\n"
    "                      lower. A signing updater refuses a manifest whose serial is\n"
    "                      lower than that of the last one it installed, so it must\n"
    "                      only grow: a --serial not greater than the site's is refused.\n"
    "  --force-serial      publish the --serial given even if it does not grow\n"
    "  --help              this text\n"
    "\n"
    "Making the key pair (once):\n"
    "  openssl ecparam -name prime256v1 -genkey -noout -out update-key.pem\n"
    "  openssl ec -in update-key.pem -pubout -out update-key.pub.pem\n"
    "update-key.pub.pem is built into the updater (-DUPDATER_PUBLIC_KEY=...).\n"
    "update-key.pem is the private key: keep it secret, never in the release or\n"
    "the site folder (the tool refuses a key there) nor in version control. Whoever\n"
    "has it can make every signing updater install anything.\n"
    "\n"
    "Exit status: 0 published, 1 refused (release problems), 2 usage (including a\n"
    "signing key that cannot be used; nothing is written then), 3 the site could\n"
    "not be written (it is left as it was).\n"
    "\n"
    "Checking a live site (--check, Linux build only):\n"
    "  updater-publish --check [options] BASE_URL [RELEASE_DIR]\n"
    "fetches BASE_URL/update/update.xml?=<number> as the updater does (same\n"
    "address, at most 64 MiB, no DTD, at most 5 redirects and never from https to\n"
    "http), then every listed file (and chunk index), and checks each answer's\n"
    "status, length, first bytes and digests; every chunk index is decoded as the\n"
    "updater decodes it, and one range of each indexed file and of its index is\n"
    "asked for: the summary says whether the server answers single ranges (a\n"
    "server that ignores them is no problem: patches then fetch whole files; one\n"
    "that answers them wrongly is). With RELEASE_DIR it also checks that\n"
    "the manifest lists exactly that release. One line per problem (file, URL,\n"
    "what was expected, what was served), then a summary. TLS certificates are\n"
    "always verified; proxies come from the usual http_proxy/https_proxy variables.\n"
    "  --key PUB.pem       the manifest must be signed with this key's private half\n"
    "                      and unaltered (the checks of a signing updater)\n"
    "  --cacert CA.pem     trust these authorities instead of the system's\n"
    "  --min-serial N      the manifest's serial must be at least N (catches a\n"
    "                      mirror or cache serving an older manifest)\n"
    "Exit status: 0 all good, 1 problems found, 2 usage.\n";
} // namespace

int Check(int argc, char** argv)
{
#ifdef _WIN32
    (void)argc;
    (void)argv;
    std::cerr << "updater-publish: --check needs the Linux build of updater-publish (it uses libcurl)\n";
    return kUsage;
#else
    CheckOptions options;
    const char* positional[2] = {};
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (std::strcmp(a, "--check") == 0) continue;
        const bool takesValue = std::strcmp(a, "--key") == 0 || std::strcmp(a, "--cacert") == 0 ||
                                std::strcmp(a, "--min-serial") == 0;
        if (takesValue && (i + 1 >= argc || argv[i + 1][0] == '\0')) {
            std::cerr << "updater-publish: " << a << " needs a value (see --help)\n";
            return kCheckUsage;
        }
        if (std::strcmp(a, "--key") == 0) {
            options.publicKey = argv[++i];
        } else if (std::strcmp(a, "--cacert") == 0) {
            options.caFile = argv[++i];
        } else if (std::strcmp(a, "--min-serial") == 0) {
            std::uint64_t serial = 0;
            if (!ParseSerial(argv[++i], serial)) {
                std::cerr << "updater-publish: --min-serial takes a whole number (got \"" << argv[i] << "\")\n";
                return kCheckUsage;
            }
            options.minSerial = serial;
        } else if (a[0] == '-' && a[1] != '\0') {
            std::cerr << "updater-publish: " << a << " is not an option of --check (see --help)\n";
            return kCheckUsage;
        } else if (count < 2) {
            positional[count++] = a;
        } else {
            count = 3;
        }
    }
    if (count < 1 || count > 2) {
        std::cerr << "Usage: updater-publish --check [--key PUB.pem] [--cacert CA.pem] [--min-serial N] BASE_URL"
                     " [RELEASE_DIR] (see --help)\n";
        return kCheckUsage;
    }
    options.baseUrl = positional[0];
    if (count == 2) options.release = positional[1];
    options.progressBar = isatty(fileno(stdout)) != 0;
    return CheckSite(options, std::cout, std::cerr);
#endif
}

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--check") == 0) return Check(argc, argv);
    PublishOptions options;
    const char* positional[3] = {};
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::cout << kHelp;
            return kPublished;
        }
        const bool takesValue = std::strcmp(argv[i], "--sign-key") == 0 || std::strcmp(argv[i], "--serial") == 0;
        // An empty value (an unset shell variable) must not publish unsigned by mistake.
        if (takesValue && (i + 1 >= argc || argv[i + 1][0] == '\0')) {
            std::cerr << "updater-publish: " << argv[i] << " needs a value (see --help)\n";
            return kUsage;
        }
        if (std::strcmp(argv[i], "--quiet") == 0 || std::strcmp(argv[i], "-q") == 0) {
            options.quiet = true;
        } else if (std::strcmp(argv[i], "--force-serial") == 0) {
            options.forceSerial = true;
        } else if (std::strcmp(argv[i], "--sign-key") == 0) {
            options.signKey = argv[++i];
        } else if (std::strcmp(argv[i], "--serial") == 0) {
            std::uint64_t serial = 0;
            if (!ParseSerial(argv[++i], serial)) {
                std::cerr << "updater-publish: --serial takes a whole number from 0 to 9223372036854775807 (got \""
                          << argv[i] << "\")\n";
                return kUsage;
            }
            options.serial = serial;
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
        std::cerr << "Usage: updater-publish [--quiet] [--sign-key KEY.pem] [--serial N [--force-serial]] RELEASE_DIR BASE_URL SITE_DIR"
                     " (see --help)\n";
        return kUsage;
    }
    options.release = positional[0];
    options.baseUrl = positional[1];
    options.site = positional[2];
    options.progressBar = isatty(fileno(stdout)) != 0;
    return Publish(options, std::cout, std::cerr);
}
