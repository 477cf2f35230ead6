// `cmake --install` lays out the programs, the INT 13h service library next
// to them, the guide, the desktop entry and the icon.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <utility>
#include <vector>

#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

TEST(InstallTest, ProgramsLibrariesDesktopEntryAndIcon) {
  const std::string prefix = ambrelic::test::MakeTempDir("qt-install");
  int status = -1;
  const std::string log = ambrelic::test::RunCommand(
      std::string("cmake --install '") + AMBRELIC_BUILD_DIR + "' --prefix '" + prefix + "' 2>&1", &status);
  ASSERT_EQ(status, 0) << log;
  for (const char* file : {"bin/ambrelic", "bin/ambrelic-cli", "lib/ambrelic/dll16.so", "lib/ambrelic/dll32.so",
                           "share/doc/ambrelic/copyright", "share/doc/ambrelic/changelog.gz",
                           "share/applications/ambrelic.desktop", "share/icons/hicolor/scalable/apps/ambrelic.svg",
                           "share/doc/ambrelic/guide.html", "share/man/man1/ambrelic.1.gz",
                           "share/man/man1/ambrelic-cli.1.gz", "share/bash-completion/completions/ambrelic-cli",
                           "share/polkit-1/actions/org.ambrelic.ambrelic.policy"}) {
    EXPECT_TRUE(fs::is_regular_file(prefix + "/" + file)) << file;
  }
  const auto entry = ambrelic::test::ReadFileBytes(prefix + "/share/applications/ambrelic.desktop");
  const std::string text(entry.begin(), entry.end());
  // Started as root through pkexec, which the installed action allows to
  // keep the display for the program the entry names.
  EXPECT_NE(text.find("Exec=pkexec /usr/bin/ambrelic"), std::string::npos);
  const auto policy = ambrelic::test::ReadFileBytes(prefix + "/share/polkit-1/actions/org.ambrelic.ambrelic.policy");
  const std::string action(policy.begin(), policy.end());
  EXPECT_NE(action.find("<annotate key=\"org.freedesktop.policykit.exec.path\">/usr/bin/ambrelic</annotate>"),
            std::string::npos);
  EXPECT_NE(action.find("<annotate key=\"org.freedesktop.policykit.exec.allow_gui\">true</annotate>"),
            std::string::npos);
  int xml = -1;
  ambrelic::test::RunCommand("python3 -c 'import sys, xml.dom.minidom; xml.dom.minidom.parse(sys.argv[1])' '" + prefix +
                                 "/share/polkit-1/actions/org.ambrelic.ambrelic.policy'",
                             &xml);
  EXPECT_EQ(xml, 0);
  EXPECT_NE(text.find("Icon=ambrelic"), std::string::npos);
  // The installed program runs from there.
  const std::string help = ambrelic::test::RunCommand("QT_QPA_PLATFORM=offscreen '" + prefix + "/bin/ambrelic' --help", &status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(help.find("usage: ambrelic"), std::string::npos);
  EXPECT_FALSE(fs::exists(prefix + "/bin/dll16.so")) << "the service libraries are not programs";
  // The 9x path finds the service library where it was installed.
  const std::string image = prefix + "/fat12.img";
  ambrelic::test::RunCommand("gunzip -c '" + std::string(AMBRELIC_SOURCE_DIR) + "/samples/fat12.img.gz' > '" + image +
                             "'");
  const std::string drives = ambrelic::test::RunCommand(
      "'" + prefix + "/bin/ambrelic-cli' --platform 9x --floppy '" + image + "' drives 2>&1", &status);
  EXPECT_EQ(status, 0) << drives;
  EXPECT_EQ(drives.find("not found"), std::string::npos) << drives;
}

// The manual pages format without a warning from groff, and show the
// version and the new options.
TEST(InstallTest, ManualPages) {
  for (const std::string page : {"ambrelic", "ambrelic-cli"}) {
    int status = -1;
    const std::string path = std::string(AMBRELIC_BUILD_DIR) + "/man/" + page + ".1";
    const std::string warnings =
        ambrelic::test::RunCommand("LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z '" + path + "' 2>&1", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(warnings, "") << page;
    const std::string text =
        ambrelic::test::RunCommand("LC_ALL=C.UTF-8 MANWIDTH=100 man -l '" + path + ".gz' 2>/dev/null | col -b", &status);
    EXPECT_NE(text.find("--version"), std::string::npos) << page;
    EXPECT_EQ(text.find("@VERSION@"), std::string::npos) << page;
  }
  const std::string cli = ambrelic::test::RunCommand(std::string("LC_ALL=C.UTF-8 MANWIDTH=100 man -l '") +
                                                     AMBRELIC_BUILD_DIR + "/man/ambrelic-cli.1.gz' | col -b");
  for (const char* option : {"--keep-times", "--condition", "bodyfile", "jsonl", "percent_free"}) {
    EXPECT_NE(cli.find(option), std::string::npos) << option;
  }
}

// The completion offers the commands, the options of the command typed,
// the column names and the formats.
TEST(InstallTest, BashCompletion) {
  const auto complete = [](const std::string& words) {
    return ambrelic::test::RunCommand(
        "bash -c 'source /usr/share/bash-completion/bash_completion; source \"" + std::string(AMBRELIC_SOURCE_DIR) +
        "/data/ambrelic-cli.bash-completion\"; COMP_WORDS=(" + words +
        "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); COMP_LINE=\"${COMP_WORDS[*]}\"; COMP_POINT=${#COMP_LINE}; "
        "_ambrelic_cli; printf \"%s\\n\" \"${COMPREPLY[@]}\" | sort'");
  };
  EXPECT_EQ(complete("ambrelic-cli s"), "scan-all\nsearch\n");
  EXPECT_EQ(complete("ambrelic-cli search --form"), "--format\n");
  EXPECT_EQ(complete("ambrelic-cli search --format j"), "json\njsonl\n");
  EXPECT_EQ(complete("ambrelic-cli restore --keep"), "--keep-times\n");
  EXPECT_EQ(complete("ambrelic-cli search --sort Si"), "Size\nSize,desc\n");
  EXPECT_EQ(complete("ambrelic-cli wipe --keep"), "\n") << "options of the command typed only";
}

// Every column completes after --sort to one shell word that names it, also
// the two with a space, from what the user typed of it; the completed
// command line is accepted.
TEST(InstallTest, BashCompletionOfEveryColumn) {
  const std::string cli = std::string(AMBRELIC_BUILD_DIR) + "/ambrelic-cli";
  const std::vector<std::pair<std::string, std::string>> typed = {
      {"Na", "Name"},       {"In", "In Folder"},   {"\"In\\\\ F\"", "In Folder"}, {"\"\\\"in\"", "In Folder"},
      {"Si", "Size"},       {"Mo", "Modified"},    {"Cl", "Cluster"},       {"File", "File No"},
      {"f", "File No"}};
  for (const auto& [prefix, column] : typed) {
    const std::string words = ambrelic::test::RunCommand(
        "bash -c 'source /usr/share/bash-completion/bash_completion; source \"" + std::string(AMBRELIC_SOURCE_DIR) +
        "/data/ambrelic-cli.bash-completion\"; COMP_WORDS=(ambrelic-cli search --sort " + prefix +
        "); COMP_CWORD=3; COMP_LINE=\"${COMP_WORDS[*]}\"; COMP_POINT=${#COMP_LINE}; "
        "_ambrelic_cli; printf \"%s\\n\" \"${COMPREPLY[@]}\"'");
    std::istringstream lines(words);
    std::vector<std::string> offered;
    for (std::string w; std::getline(lines, w);) offered.push_back(w);
    ASSERT_EQ(offered.size(), 2u) << prefix << ": " << words;
    for (std::size_t i = 0; i < 2; ++i) {
      const std::string& word = offered[i];
      // As the shell reads the completed word: one argument, the column.
      const std::string argument =
          ambrelic::test::RunCommand("bash -c 'set -- " + word + "; echo \"$#:$1\"'");
      EXPECT_EQ(argument, "1:" + column + (i ? ",desc" : "") + "\n") << word;
      int status = -1;
      const std::string out = ambrelic::test::RunCommand(
          "bash -c '\"" + cli + "\" search --sort " + word + " /nonexistent/image 2>&1'", &status);
      EXPECT_EQ(out.find("unknown column"), std::string::npos) << word << ": " << out;
      EXPECT_NE(status, 2) << word << ": " << out;
    }
  }
}

// cpack -G DEB: the package holds everything cmake --install lays out, its
// Depends name Qt 6 and the C++ runtime, and what it unpacks runs.
TEST(InstallTest, DebianPackage) {
  const std::string dir = ambrelic::test::MakeTempDir("deb");
  int status = -1;
  const std::string log = ambrelic::test::RunCommand("cd '" + std::string(AMBRELIC_BUILD_DIR) + "' && cpack -G DEB -B '" +
                                                         dir + "' 2>&1",
                                                     &status);
  ASSERT_EQ(status, 0) << log;
  std::string deb;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (e.path().extension() == ".deb") deb = e.path().string();
  }
  ASSERT_FALSE(deb.empty()) << log;
  const std::string contents = ambrelic::test::RunCommand("dpkg-deb -c '" + deb + "'", &status);
  ASSERT_EQ(status, 0);
  for (const char* file : {"./usr/bin/ambrelic", "./usr/bin/ambrelic-cli", "./usr/lib/ambrelic/dll16.so",
                           "./usr/lib/ambrelic/dll32.so", "./usr/share/doc/ambrelic/copyright",
                           "./usr/share/doc/ambrelic/changelog.gz",
                           "./usr/share/doc/ambrelic/guide.html", "./usr/share/applications/ambrelic.desktop",
                           "./usr/share/icons/hicolor/scalable/apps/ambrelic.svg", "./usr/share/man/man1/ambrelic.1.gz",
                           "./usr/share/man/man1/ambrelic-cli.1.gz",
                           "./usr/share/bash-completion/completions/ambrelic-cli"}) {
    EXPECT_NE(contents.find(std::string(file) + "\n"), std::string::npos) << file << "\n" << contents;
  }
  const std::string depends = ambrelic::test::RunCommand("dpkg-deb -f '" + deb + "' Depends", &status);
  // libqt6svg6: the window's file and folder icons are SVG.
  for (const char* package : {"libqt6widgets6", "libqt6core6", "libstdc++6", "libc6", "libqt6svg6"}) {
    EXPECT_NE(depends.find(package), std::string::npos) << depends;
  }
  EXPECT_EQ(ambrelic::test::RunCommand("dpkg-deb -f '" + deb + "' Package"), "ambrelic\n");
  const std::string root = dir + "/root";
  ambrelic::test::RunCommand("dpkg -x '" + deb + "' '" + root + "'", &status);
  ASSERT_EQ(status, 0);
  const std::string version = ambrelic::test::RunCommand("'" + root + "/usr/bin/ambrelic-cli' --version", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(version, std::string("ambrelic-cli ") + AMBRELIC_VERSION_FOR_TESTS + "\n");
  const std::string window = ambrelic::test::RunCommand("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM '" + root +
                                                            "/usr/bin/ambrelic' --version",
                                                        &status);
  EXPECT_EQ(status, 0) << "no display needed";
  EXPECT_EQ(window, std::string("ambrelic ") + AMBRELIC_VERSION_FOR_TESTS + "\n");

  // What the package says of itself names every file system it reads.
  const std::string description = ambrelic::test::RunCommand("dpkg-deb -f '" + deb + "' Description");
  EXPECT_NE(description.find("exFAT"), std::string::npos) << description;
  const std::string synopsis = description.substr(0, description.find('\n'));
  EXPECT_EQ(description.find(synopsis, synopsis.size()), std::string::npos) << "synopsis repeated: " << description;
  for (const char* file : {"/usr/share/applications/ambrelic.desktop"}) {
    const auto bytes = ambrelic::test::ReadFileBytes(root + file);
    EXPECT_NE(std::string(bytes.begin(), bytes.end()).find("exFAT"), std::string::npos) << file;
  }
  for (const char* page : {"ambrelic", "ambrelic-cli"}) {
    const std::string text =
        ambrelic::test::RunCommand("zcat '" + root + "/usr/share/man/man1/" + page + ".1.gz' | grep -c exFAT");
    EXPECT_NE(text, "0\n") << page;
  }
  // Debian's checks: the desktop entry validates and lintian finds no
  // error (tools installed by scripts/bootstrap).
  const std::string desktop = ambrelic::test::RunCommand(
      "desktop-file-validate '" + root + "/usr/share/applications/ambrelic.desktop' 2>&1", &status);
  EXPECT_EQ(status, 0) << desktop;
  const std::string metainfo = ambrelic::test::RunCommand(
      "appstreamcli validate --no-net '" + root + "/usr/share/metainfo/org.example.Ambrelic.metainfo.xml' 2>&1",
      &status);
  EXPECT_EQ(status, 0) << metainfo;
  EXPECT_TRUE(fs::is_regular_file(root + "/usr/share/ambrelic/screenshots/ambrelic-window.png"));
  const std::string lintian = ambrelic::test::RunCommand("lintian --tag-display-limit 0 '" + deb + "' 2>&1", &status);
  EXPECT_EQ(status, 0) << lintian;
  EXPECT_EQ(lintian.find("E: "), std::string::npos) << lintian;
}

}  // namespace
