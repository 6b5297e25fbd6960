#include "publish/publisher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include "archive/delta.h"
#include "archive/zip_extractor.h"
#include "install/file_index.h"
#include "install/install_step.h"
#include "net/http_downloader.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "publish/content.h"
#include "run/patch_server.h"
#include "support/test_env.h"
#include "support/test_publisher.h"
#include "verify/minisign.h"
#include "verify/patch_set.h"

namespace corvana {
namespace {

namespace fs = std::filesystem;

constexpr bool POSIX = fs::path::preferred_separator == '/';

class PublishTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(m_temp.Path() / "www");
        test::WriteWholeFile(m_key, m_publisher.SecretKeyFile());
    }

    // A content folder of files {name: bytes}.
    std::string Content(const std::string& name, const std::map<std::string, std::string>& files) {
        const fs::path folder = m_temp.Path() / "src" / name;
        for (const auto& [item, data] : files) {
            fs::create_directories((folder / fs::u8path(item)).parent_path());
            test::WriteWholeFile(folder / fs::u8path(item), data);
        }
        return folder.string();
    }

    Result Run(const std::vector<std::string>& arguments) {
        const Expected<PublishOptions> options = ReadPublishOptions(arguments);
        if (!options) return options.GetFailure();
        m_said.clear();
        return Publish(*options, [this](const std::string& line) { m_said.push_back(line); });
    }
    Result RunSigned(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"--sign", m_key});
        return Run(arguments);
    }
    bool Said(const std::string& text) const {
        return std::any_of(m_said.begin(), m_said.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
    }

    std::string Served(const std::string& name) const { return test::ReadWholeFile(m_out / name); }
    uint64_t Timestamp() const {
        const Expected<MinisignSignature> signature = ReadSignature(Served(SIGNATURE_NAME));
        EXPECT_TRUE(signature);
        if (!signature) return 0;
        const Expected<uint64_t> timestamp = TrustedTimestamp(signature->strTrustedComment);
        return timestamp ? *timestamp : 0;
    }
    // The set folders kept (not the store's own files).
    std::vector<std::string> Sets() const {
        std::vector<std::string> names;
        for (const fs::directory_entry& entry : fs::directory_iterator(m_out.string() + ".sets")) {
            const std::string name = entry.path().filename().string();
            if (!name.starts_with(".")) names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    // The folder the served archives install, unpacked in the manifest's order.
    void InstallServed(const fs::path& folder, const std::vector<std::string>& archives) const {
        fs::create_directories(folder);
        for (const std::string& name : archives) {
            ZipExtractor archive;
            ASSERT_TRUE(archive.Open((m_out / name).string().c_str(), false)) << name;
            const std::string into =
                folder.string() + static_cast<char>(fs::path::preferred_separator);
            const Result extracted = archive.ExtractAllTo(into.c_str(), false);
            ASSERT_TRUE(extracted) << name << ": " << extracted.GetFailure().Text();
        }
    }
    std::vector<IndexedFile> ServedIndex() const {
        const Expected<std::vector<IndexedFile>> index =
            ReadFileIndex(Served(FILE_SUMS_NAME), Served(FILE_ENTRIES_NAME));
        EXPECT_TRUE(index) << (index ? "" : index.GetFailure().Text());
        return index ? *index : std::vector<IndexedFile>{};
    }

    test::TempDir m_temp;
    test::TestPublisher m_publisher;
    const fs::path m_out = m_temp.Path() / "www" / "corvana";
    const std::string m_key = m_temp / "secret.key";
    std::vector<std::string> m_said;
};

std::string Random(std::size_t nSize, unsigned nSeed) {
    std::string data(nSize, '\0');
    for (char& c : data) {
        nSeed = nSeed * 1103515245 + 12345;
        c = static_cast<char>(nSeed >> 16);
    }
    return data;
}

// The folder packed as the updater unpacks it, indexed as it installs, signed as
// minisign checks.
TEST_F(PublishTest, PacksAndSignsWhatTheUpdaterInstalls) {
    const std::map<std::string, std::string> files{{"readme.txt", "hello\n"},
                                                   {"data/sound/theme.ogg", Random(100000, 1)},
                                                   {"\xED\x95\x9C\xEA\xB8\x80.txt", "k\n"},
                                                   {"bin/run.sh", "#!/bin/sh\necho ran\n"}};
    const std::string base = Content("base", files);
    if (POSIX) fs::permissions(base + "/bin/run.sh", fs::perms::owner_exec, fs::perm_options::add);
    const Result published =
        RunSigned({m_out.string(), "101=" + base + ";" + FromUtf8("\xEA\xB8\xB0\xEB\xB3\xB8")});
    ASSERT_TRUE(published) << published.GetFailure().Text();
    EXPECT_TRUE(Served(MANIFEST_NAME)
                    .starts_with("# Corvana patch set\r\n101=base.zip;\xB1\xE2\xBA\xBB\r\n"));
    InstallServed(m_temp.Path() / "installed", {"base.zip"});
    for (const auto& [name, data] : files) {
        EXPECT_TRUE(test::ReadWholeFile(m_temp.Path() / "installed" / fs::u8path(name)) == data)
            << name;
    }
    if (POSIX) {
        EXPECT_NE(fs::status(m_temp.Path() / "installed/bin/run.sh").permissions() &
                      fs::perms::owner_exec,
                  fs::perms::none);
    }
    // Indexed as this system's updater names them.
    std::map<std::string, std::size_t> sizes;
    for (const auto& [name, data] : files) sizes[FromUtf8(name)] = data.size();
    const std::vector<IndexedFile> index = ServedIndex();
    ASSERT_EQ(index.size(), files.size());
    for (const IndexedFile& file : index) {
        EXPECT_EQ(file.archive, "base.zip");
        EXPECT_EQ(file.nNumber, 101);
        EXPECT_EQ(file.nSize, sizes[file.path]) << file.path;
    }
    const Expected<MinisignPublicKey> key = ReadPublicKey(m_publisher.PublicKeyLine());
    const Expected<MinisignSignature> signature = ReadSignature(Served(SIGNATURE_NAME));
    ASSERT_TRUE(key && signature);
    const Result signedRight =
        CheckSignature(*key, *signature, Served(CHECKSUMS_NAME), CHECKSUMS_NAME, SIGNATURE_NAME);
    EXPECT_TRUE(signedRight) << signedRight.GetFailure().Text();
    if (POSIX) {
        const std::string command = "minisign -Vq -P " + m_publisher.PublicKeyLine() + " -m '" +
                                    (m_out / CHECKSUMS_NAME).string() + "'";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
    }
}

// Nothing goes live that a player could not install; the live set stays as it was.
TEST_F(PublishTest, RefusesWhatNoPlayerCanInstall) {
    ASSERT_TRUE(RunSigned({m_out.string(), "101=" + Content("base", {{"a.txt", "a\n"}})}));
    const std::string manifest = Served(MANIFEST_NAME);
    struct Case {
        const char* pszWhat;
        std::function<std::string()> entry;  // NUMBER=SOURCE
        std::string cause;
        bool bPosixOnly;
    };
    const auto file = [this](const std::string& name, const std::string& data) {
        test::WriteWholeFile(m_temp.Path() / name, data);
        return "150=" + (m_temp / name);
    };
    const std::vector<Case> cases{
        {"an empty file", [&] { return file("empty.dat", ""); }, "empty.dat: missing or empty",
         false},
        {"an archive with a name that leaves the folder",
         [] { return "150=" + test::TestArchive("unsafe-parent.zip").string(); },
         "a name that leaves the folder", false},
        {"a damaged archive",
         [] { return "150=" + test::TestArchive("not-an-archive.zip").string(); },
         "not-an-archive.zip: not an archive", false},
        {"a device name",
         [&] {
             return "150=" + Content("dev", {{"sub/aux.txt", "x"}});
         },
         "a device name", true},
        {"a tab",
         [&] {
             return "150=" + Content("tab", {{"a\tb.txt", "x"}});
         },
         "a control character", true},
        {"a backslash",
         [&] {
             return "150=" + Content("bs", {{"a\\b.txt", "x"}});
         },
         "a '\\' in it", true},
        {"names equal but for case",
         [&] {
             return "150=" + Content("case", {{"data/Read.me", "1"}, {"data/read.ME", "2"}});
         },
         "only in letter case", true},
        {"a name the updater keeps",
         [&] {
             return "150=" + Content("rec", {{".corvana-staging/x", "x"}});
         },
         "keeps for itself", false},
        {"a link out of the folder",
         [&] {
             const std::string folder = Content("link", {{"a.txt", "a"}});
             fs::create_symlink(m_key, folder + "/key");
             return "150=" + folder;
         },
         "key: a symbolic link", true},
    };
    for (const Case& c : cases) {
        if (c.bPosixOnly && !POSIX) continue;
        SCOPED_TRACE(c.pszWhat);
        const Result published = RunSigned({"--append", m_out.string(), c.entry()});
        ASSERT_FALSE(published);
        EXPECT_NE(published.GetFailure().Text().find(c.cause), std::string::npos)
            << published.GetFailure().Text();
        EXPECT_EQ(Served(MANIFEST_NAME), manifest);
        EXPECT_EQ(Sets().size(), 1u);
    }
}

// A file of any size is published: the updater streams what it cannot hold.
TEST_F(PublishTest, PublishesAFileAboveTheUpdatersBuffer) {
    const std::string big(DOWNLOAD_BUFFER_SIZE + 1, 'x');
    test::WriteWholeFile(m_temp.Path() / "big.pak", big);
    ASSERT_TRUE(RunSigned({m_out.string(), "150=" + (m_temp / "big.pak")}));
    EXPECT_TRUE(Served("big.pak") == big);
}

// An earlier entry's archive is never replaced; links and a foreign OUT_DIR never
// carry files out; only what the live set lists is carried.
TEST_F(PublishTest, NeverLosesOrLeaks) {
    ASSERT_TRUE(RunSigned({m_out.string(), "171=" + Content("v1/update", {{"one.txt", "1"}})}));
    ASSERT_TRUE(
        RunSigned({"--append", m_out.string(), "172=" + Content("v2/update", {{"two.txt", "2"}})}));
    EXPECT_TRUE(Said("update.zip is the archive of an earlier entry: this one is update-172.zip"));
    EXPECT_NE(Served(MANIFEST_NAME).find("171=update.zip\r\n172=update-172.zip\r\n"),
              std::string::npos);
    InstallServed(m_temp.Path() / "installed", {"update.zip", "update-172.zip"});
    EXPECT_TRUE(fs::exists(m_temp.Path() / "installed/one.txt"));
    EXPECT_TRUE(fs::exists(m_temp.Path() / "installed/two.txt"));
    fs::create_directories(m_temp.Path() / "v3");
    test::WriteWholeFile(m_temp.Path() / "v3/update-172.zip", "x");
    const Result reused =
        RunSigned({"--append", m_out.string(), "173=" + (m_temp / "v3/update-172.zip")});
    ASSERT_FALSE(reused);
    EXPECT_NE(reused.GetFailure().Text().find("give this one another name"), std::string::npos)
        << reused.GetFailure().Text();
    if (!POSIX) return;
    // A file planted in the live set that its lists do not name stays behind.
    test::WriteWholeFile(m_out / "planted.txt", "x");
    ASSERT_TRUE(
        RunSigned({"--append", m_out.string(), "174=" + Content("more", {{"m.txt", "m"}})}));
    EXPECT_FALSE(fs::exists(m_out / "planted.txt"));
    // Inside its folder a link is packed as its file with --follow-links.
    const std::string linked = Content("linked", {{"real.txt", "real"}});
    fs::create_symlink("real.txt", linked + "/alias.txt");
    ASSERT_TRUE(RunSigned({"--append", "--follow-links", m_out.string(), "175=" + linked}));
    // An OUT_DIR that leads to another folder is refused.
    const fs::path home = m_temp.Path() / "home";
    test::WriteWholeFile(home / "patch_info.txt", "101=id_ed25519\r\n");
    test::WriteWholeFile(home / "id_ed25519", "secret");
    fs::create_directory_symlink(home, m_temp.Path() / "www" / "linked");
    const Result foreign =
        RunSigned({m_temp / "www/linked", "101=" + Content("other", {{"o.txt", "o"}})});
    ASSERT_FALSE(foreign);
    EXPECT_NE(foreign.GetFailure().Text().find("not to a set of"), std::string::npos);
}

// One publish at a time: the second waits, and no entry is lost.
TEST_F(PublishTest, PublishesOneAtATime) {
    ASSERT_TRUE(RunSigned({m_out.string(), "101=" + Content("base", {{"a.txt", "a"}})}));
    Expected<FileLock> held = FileLock::Take(m_out.string() + ".sets/.lock", false);
    ASSERT_TRUE(held);
    std::atomic<bool> bWaiting = false;
    std::vector<std::thread> publishes;
    std::vector<int> ended(3, -1);
    for (int i = 0; i < 3; ++i) {
        const std::string source = Content("e" + std::to_string(i), {{std::to_string(i), "x"}});
        publishes.emplace_back([&, i, source] {
            const Expected<PublishOptions> options =
                ReadPublishOptions({"--append", "--sign", m_key, m_out.string(),
                                    std::to_string(110 + i) + "=" + source});
            ended[i] = options && Publish(*options, [&](const std::string& line) {
                           if (line.starts_with("waiting for another publish")) bWaiting = true;
                       });
        });
    }
    while (!bWaiting) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(Served(MANIFEST_NAME).find("110="), std::string::npos);
    { const FileLock released = std::move(*held); }
    for (std::thread& publish : publishes) publish.join();
    EXPECT_EQ(ended, std::vector<int>(3, 1));
    for (const char* pszEntry : {"101=base.zip", "110=e0.zip", "111=e1.zip", "112=e2.zip"}) {
        EXPECT_NE(Served(MANIFEST_NAME).find(pszEntry), std::string::npos) << pszEntry;
    }
}

// A signed set names its own folder and its mirrors in files its list signs; the
// mirrors stay from set to set until replaced or dropped.
TEST_F(PublishTest, ASignedSetNamesItsFolderAndItsMirrors) {
    const auto listed = [this](const std::string& name) {
        return Served(CHECKSUMS_NAME).find("  " + name + "\n") != std::string::npos;
    };
    const std::string base = "101=" + Content("base", {{"a.txt", "a"}});
    struct Step {
        std::vector<std::string> flags;
        const char* pszMirrors;  // nullptr: no mirrors.txt
    };
    for (const Step& step :
         {Step{{"--mirror", "a.test", "--mirror", "https://b.test:8443/x"},
               "a.test\nhttps://b.test:8443/x\n"},
          Step{{}, "a.test\nhttps://b.test:8443/x\n"}, Step{{"--mirror", "c.test"}, "c.test\n"},
          Step{{"--no-mirrors"}, nullptr}}) {
        std::vector<std::string> arguments = step.flags;
        arguments.insert(arguments.end(), {m_out.string(), base});
        ASSERT_TRUE(RunSigned(arguments));
        EXPECT_EQ(Served(SET_POINTER_NAME), Sets().back() + "\n");
        EXPECT_TRUE(listed(SET_POINTER_NAME));
        EXPECT_EQ(fs::exists(m_out / MIRRORS_NAME), step.pszMirrors != nullptr);
        EXPECT_EQ(listed(MIRRORS_NAME), step.pszMirrors != nullptr);
        if (step.pszMirrors != nullptr) {
            EXPECT_EQ(Served(MIRRORS_NAME), step.pszMirrors);
        }
    }
    // Unsigned, nothing names them; a host that is no host is refused.
    ASSERT_TRUE(Run({m_out.string(), base}));
    EXPECT_FALSE(fs::exists(m_out / SET_POINTER_NAME));
    for (const std::vector<std::string>& refused :
         {std::vector<std::string>{"--mirror", "a.test", m_out.string(), base},
          std::vector<std::string>{"--sign", m_key, "--mirror", "a b", m_out.string(), base},
          std::vector<std::string>{"--sign", m_key, "--mirror", "user@a.test", m_out.string(),
                                   base}}) {
        EXPECT_FALSE(ReadPublishOptions(refused)) << refused[1];
    }
}

// Each set is signed after the live one, whatever the clock; --keep never removes
// the set that was live before, and removes what a killed publish left.
TEST_F(PublishTest, SignsAfterTheLiveSetAndKeepsThePreviousOne) {
    ASSERT_TRUE(RunSigned({m_out.string(), "101=" + Content("base", {{"a.txt", "a"}})}));
    uint64_t nLast = Timestamp();
    for (int i = 0; i < 3; ++i) {  // within one second
        ASSERT_TRUE(RunSigned({m_out.string(), "101=" + m_temp.Path().string() + "/src/base"}));
        EXPECT_GT(Timestamp(), nLast);
        nLast = Timestamp();
    }
    const std::vector<std::string> before = Sets();
    const std::string previous = before.back();
    fs::create_directories(m_out.string() +
                           ".sets/29991231T000000Z");  // killed mid-way, newest name
    ASSERT_TRUE(
        RunSigned({"--keep", "2", m_out.string(), "101=" + m_temp.Path().string() + "/src/base"}));
    const std::vector<std::string> after = Sets();
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0], previous);
    EXPECT_EQ(Served(SIGNATURE_NAME),
              test::ReadWholeFile(fs::path(m_out.string() + ".sets") / after[1] / SIGNATURE_NAME));
    EXPECT_TRUE(Said("removed a set a publish left unfinished: 29991231T000000Z"));
    EXPECT_LT(before.size(), 5u);
}

// A delta rebuilds on the earlier entries' folder exactly what the full archive
// installs: unchanged items are only named, machine code is diffed filtered.
TEST_F(PublishTest, DeltasRebuildWhatTheArchivesInstall) {
    // Machine code whose calls all reach one routine: 64 bytes put in early move
    // every call after them, and so change their operands.
    const auto program = [](bool bMoved) {
        std::string code =
            "\x7f"
            "ELF";
        for (uint32_t n = 0; n < 20000; ++n) {
            if (bMoved && n == 250) code += Random(64, 9);
            const auto nOperand = static_cast<uint32_t>(0x100 - (code.size() + 5));
            code += std::string("\xE8", 1) +
                    std::string(reinterpret_cast<const char*>(&nOperand), 4) + Random(11, n);
        }
        return code;
    };
    const std::string big = Random(300000, 2);
    const std::map<std::string, std::string> base{{"bin/game", program(false)},
                                                  {"data/sound.dat", big},
                                                  {"data/empty.txt", ""},
                                                  {"same.txt", "same\n"}};
    std::map<std::string, std::string> update = base;
    update["bin/game"] = program(true);
    update["data/sound.dat"] = big.substr(0, 1000) + "new" + big.substr(1000);
    update["data/empty.txt"] = "now with content\n";
    update["new.txt"] = "new\n";
    ASSERT_TRUE(RunSigned({m_out.string(), "101=" + Content("base", base),
                           "102=" + test::TestArchive("backslash.zip").string()}));
    ASSERT_TRUE(
        RunSigned({"--append", "--delta", m_out.string(), "171=" + Content("update", update)}));
    EXPECT_TRUE(Said("1 same, 1 patched, 1 diffed, 0 in windows, 2 whole"))
        << testing::PrintToString(m_said);
    // A pre-made archive's '\' names are indexed as the updater writes them.
    std::map<std::string, IndexedFile> index;
    for (const IndexedFile& file : ServedIndex()) index[file.path] = file;
    EXPECT_EQ(index.count("sub/inner/b.txt"), 1u);
    // Only what changed is named, without hashes: the index says what each file
    // of the archive holds, the unchanged one among them.
    const std::string delta = Served("update.zip.delta");
    EXPECT_LT(delta.size(), fs::file_size(m_out / "update.zip") / 10);
    const Expected<std::vector<DeltaItem>> items = ReadDelta(delta);
    ASSERT_TRUE(items) << items.GetFailure().Text();
    std::set<std::string> named;
    for (const DeltaItem& item : *items) {
        named.insert(item.name);
        EXPECT_TRUE(item.resultSha256.empty()) << item.name;
    }
    EXPECT_EQ(named,
              (std::set<std::string>{"bin/game", "data/empty.txt", "data/sound.dat", "new.txt"}));
    SignedFiles signedFiles{[&](const std::string& path) -> Expected<std::string> {
                                if (index.count(path) == 0) return Failure{path, "not indexed"};
                                return index[path].sha256;
                            },
                            {}};
    for (const auto& [path, file] : index) {
        if (file.archive == "update.zip") signedFiles.own.emplace_back(path, file.sha256);
    }
    // Rebuilt against the installed base; an unchanged file the player changed
    // leaves the entry to its archive, with nothing changed.
    for (const bool bChanged : {false, true}) {
        SCOPED_TRACE(bChanged ? "same.txt changed" : "as installed");
        const fs::path player = m_temp.Path() / (bChanged ? "changed" : "player");
        InstallServed(player, {"base.zip", "backslash.zip"});
        if (bChanged) test::WriteWholeFile(player / "same.txt", "mine\n");
        const InstallOutcome outcome = InstallFromDelta(
            test::OpenFolder(player.string() + static_cast<char>(fs::path::preferred_separator)),
            "update.zip", delta, [](InstallStage) {}, signedFiles);
        ASSERT_EQ(outcome.result,
                  bChanged ? InstallResult::DELTA_UNUSABLE : InstallResult::INSTALLED)
            << outcome.failure.Text();
        EXPECT_NE(fs::exists(player / "new.txt"), bChanged);
    }
    const fs::path player = m_temp.Path() / "player";
    const fs::path full = m_temp.Path() / "full";
    InstallServed(full, {"base.zip", "backslash.zip", "update.zip"});
    for (const auto& [name, data] : update) {
        EXPECT_TRUE(test::ReadWholeFile(player / name) == data) << name;
        EXPECT_TRUE(test::ReadWholeFile(full / name) == data) << name;
    }
}

}  // namespace
}  // namespace corvana
