// Command mode's conversions: the image's bytes, the names that lead to the files, and input
// that cannot seek.
#include "harness.h"

namespace {

using namespace e2e;

// --- Command mode: the image is the software file without its leading block. ---

class Conversion : public Swug, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(Conversion, ImageIsTheBodyAndReplacesAnOldImage)
{
    const std::string sw = pattern(GetParam());
    write_file(dir / "sw.bin", sw);
    write_file(dir / "img.bin", pattern(GetParam() + 4000)); // longer than the new image
    const Outcome o = run(dir, {"sw.bin", "img.bin"});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(read_file(dir / "img.bin"), body_of(sw));
    EXPECT_EQ(read_file(dir / "sw.bin"), sw);
}

INSTANTIATE_TEST_SUITE_P(Sizes, Conversion,
                         ::testing::Values(0, 1, 127, 128, 129, 1000, 128 + 1024, 128 + 1024 + 1,
                                           (3u << 20) + 77));

// --- Names: the "./" rule, other relative and absolute names, and the length bound. ---

struct NameCase {
    const char *what;
    std::string run_in; // below the test folder
    std::string sw;     // argument, and the file it names below the test folder
    std::string sw_at;
    std::string img;
    std::string img_at;
    bool posix_only;
    std::string decoy = "";    // an existing file, below the test folder, that must stay as it was
    bool unprivileged = false; // run as an ordinary user, who may not search the test folder
    const char *strict_as = nullptr; // the Windows that the strict layer plays
};

class Names : public Swug, public ::testing::WithParamInterface<NameCase> {};

TEST_P(Names, TheNamedFilesAreUsed)
{
    const NameCase &c = GetParam();
    if (c.posix_only && windows)
        GTEST_SKIP() << "a POSIX case";
    SKIP_UNLESS(!c.unprivileged || geteuid() == 0, "needs root, to run the tool as an ordinary user");
    PLAY_AS(c.strict_as);
    const std::string sw = pattern(700);
    const std::string old = pattern(40);
    write_file(dir / c.sw_at, sw);
    if (!c.decoy.empty())
        write_file(dir / c.decoy, old);
    fs::create_directories(dir / c.run_in);
    fs::create_directories((dir / c.img_at).parent_path());
    if (c.unprivileged) {
        fs::permissions(dir / c.run_in, fs::perms::all); // the test folder itself stays 0700
        fs::permissions(dir / c.sw_at, fs::perms::others_read, fs::perm_options::add); // any umask
    }
    const std::optional<Outcome> o =
        c.unprivileged ? run_as_nobody(dir / c.run_in, {c.sw, c.img}) : run(dir / c.run_in, {c.sw, c.img});
    SKIP_UNLESS(o, no_copy_for_nobody);
    EXPECT_EQ(o->status, 0) << c.what;
    EXPECT_EQ(read_file(dir / c.img_at), body_of(sw)) << c.what;
    if (!c.decoy.empty()) {
        EXPECT_EQ(read_file(dir / c.decoy), old) << c.what << ": a look-alike was written";
    }
}

const std::string dot_long = "./" + name_of_length(297);
// Below the test folder their full paths pass the 260 characters of Windows' MAX_PATH.
const std::string long_sw = name_of_length(240);
const std::string long_img = name_of_length(245);

INSTANTIATE_TEST_SUITE_P(
    Forms, Names,
    ::testing::Values(
        NameCase{"dot-slash", "", "./sw.bin", "sw.bin", "./out/img.bin", "out/img.bin", false},
        NameCase{"plain", "", "fw/sw.bin", "fw/sw.bin", "img.bin", "img.bin", false},
        NameCase{"parent", "sub", "../sw.bin", "sw.bin", "../img.bin", "img.bin", false},
        NameCase{"dot-backslash is a plain name", "", R"(.\sw.bin)", R"(.\sw.bin)", "img.bin",
                 "img.bin", true},
        NameCase{"299 characters", "", name299, name299, "img.bin", "img.bin", false},
        // Joined with the folder the name passes 299 characters, so it is used as given.
        NameCase{"dot-slash too long to join", "", dot_long, dot_long.substr(2), "./img.bin",
                 "img.bin", false},
        // On Windows only the full path opens names this long: its slashes become backslashes
        // and "." and ".." are resolved before it is used as it stands.
        NameCase{"long names through the parent folder", "sub", "../" + long_sw, long_sw,
                 "./.././" + long_img, long_img, false},
        // The code page's best-fit mapping turns U+3000 into a space and U+FF02 into a quote,
        // which would split a narrow command line into other words.
        NameCase{"names holding an ideographic space", "", "sw　1.bin", "sw　1.bin", "img　1.bin",
                 "img　1.bin", false, "1.bin"},
        NameCase{"names holding full-width quotes", "", "sw＂1.bin", "sw＂1.bin", "＂img 1.bin",
                 "＂img 1.bin", false, "img 1.bin"},
        // Names outside a Windows code page, which the narrow calls would swap for look-alikes.
        NameCase{"CJK names", "", "固件.bin", "固件.bin", "镜像.bin", "镜像.bin", false},
        NameCase{"Cyrillic names", "", "прошивка.bin", "прошивка.bin", "образ.bin", "образ.bin", false},
        NameCase{"Latin Extended name beside its look-alike", "", "sw.bin", "sw.bin", "img-Ā.bin",
                 "img-Ā.bin", false, "img-A.bin"},
        NameCase{"full-width name beside its look-alike", "", "sw.bin", "sw.bin", "img-ｂ.bin",
                 "img-ｂ.bin", false, "img-b.bin"},
        NameCase{"dot-slash in a folder named outside the code page", "目录-Ж", "./sw.bin",
                 "目录-Ж/sw.bin", "./img.bin", "目录-Ж/img.bin", false},
        NameCase{"dot-slash in a full-width folder beside its look-alike", "ａ", "./sw.bin",
                 "ａ/sw.bin", "./img.bin", "ａ/img.bin", false, "a/img.bin"},
        // The current folder is fine, but the absolute name runs through one the user may not
        // search.
        NameCase{"dot-slash below a folder the user may not search", "w", "./sw.bin", "w/sw.bin",
                 "./img.bin", "w/img.bin", true, "", true},
        // FAT gives every file here one 64-bit index, and no 128-bit id.
        NameCase{"two files on a FAT volume, whose file ids repeat", "", "sw.bin", "sw.bin", "img.bin", "img.bin",
                 false, "", false, "fat-volume"},
        NameCase{"new image on NFS, which gives no file ids", "", "./sw.bin", "sw.bin", "img.bin", "img.bin", false,
                 "", false, "nfs-volume"}),
    described<NameCase>);

// Absolute names depend on the test folder, so they are not in the table above.
TEST_F(Swug, AbsoluteNames)
{
    const std::string sw = pattern(500);
    write_file(dir / "sw.bin", sw);
    EXPECT_EQ(run(dir, {(dir / "sw.bin").string(), (dir / "abs.bin").string()}).status, 0);
    EXPECT_EQ(read_file(dir / "abs.bin"), body_of(sw));
}

// A current folder longer than 299 characters does not fit the name buffer: "./x" is used as
// given, which still names the file in it.
TEST_F(Swug, DotSlashNamesInACurrentFolderTooLongToRead)
{
    if (windows)
        GTEST_SKIP() << "a Windows current folder is at most 260 characters";
    const std::string sw = pattern(500);
    const fs::path deep = dir / std::string(120, 'a') / std::string(120, 'b') / std::string(120, 'c');
    write_file(deep / "sw.bin", sw);
    EXPECT_EQ(run(deep, {"./sw.bin", "./img.bin"}).status, 0);
    EXPECT_EQ(read_file(deep / "img.bin"), body_of(sw));
}

// Under wine the current folder is a backslash folder such as Z:\tmp\swug-test-1a2b3c: "./" names
// are joined to it once its backslashes are slashes, and backslash names are used as given.
TEST_F(Swug, WindowsNamesInABackslashFolder)
{
    if (!windows)
        GTEST_SKIP() << "a backslash is part of a POSIX file name";
    const std::string sw = pattern(900);
    write_file(dir / "fw/sw.bin", sw);
    fs::create_directories(dir / "out");
    EXPECT_EQ(run(dir, {"./fw/sw.bin", "./out/a.bin"}).status, 0);
    EXPECT_EQ(run(dir, {R"(.\fw\sw.bin)", R"(out\b.bin)"}).status, 0);
    EXPECT_EQ(run(dir / "fw", {"./sw.bin", R"(..\out\c.bin)"}).status, 0);
    for (const char *img : {"a.bin", "b.bin", "c.bin"})
        EXPECT_EQ(read_file(dir / "out" / img), body_of(sw)) << img;
}

// --- Input that cannot seek: the leading block is read and dropped. ---

class Pipe : public Swug, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(Pipe, LeadingBlockIsDroppedFromShortReads)
{
    const std::string sw = pattern(GetParam());
    Outcome o;
    if (windows) {
        // No /dev/stdin there: a named pipe that a second process serves.
        SKIP_UNLESS(helper_missing() == nullptr, helper_missing());
        Helper serve = start_helper(dir, "serve", dir.filename().string());
        std::thread feeder([&] {
            write_all(serve.input, sw, Clock::now() + deadline);
            stop_helper(serve);
        });
        o = run(dir, {pipe_path(dir), "img.bin"});
        feeder.join();
    } else {
        o = run(dir, {"/dev/stdin", "img.bin"}, &sw);
    }
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(read_file(dir / "img.bin"), body_of(sw));
}

INSTANTIATE_TEST_SUITE_P(Sizes, Pipe, ::testing::Values(0, 100, 128, 129, 3000));

} // namespace
