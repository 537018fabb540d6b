// velunda-pack qvp from the command line: what it writes, read back with
// Python's zipfile, and what it refuses.
#include "ArchiveTestSupport.h"

using namespace archive;

namespace {

class PackQvp : public ArchiveFixture {
public:
    // "name size" per entry and the description text, as Python reads them.
    std::string PyList(const std::filesystem::path& archive)
    {
        const auto out = dir / "list.txt";
        const std::string script =
            "import zipfile,sys\n"
            "z=zipfile.ZipFile(sys.argv[1])\n"
            "for i in z.infolist(): print(i.filename, i.file_size, i.compress_type)\n"
            "print(repr(z.read('UpgradeInfo.txt')) if 'UpgradeInfo.txt' in z.namelist() "
            "else 'no info')\n";
        WriteText(dir / "list.py", script);
        EXPECT_EQ(Shell("python3 " + Quote((dir / "list.py").string()) + " " + Quote(archive.string()) +
                        " >" + Quote(out.string())),
                  0);
        const Bytes text = ReadFileBytes(out);
        return std::string(text.begin(), text.end());
    }
};

TEST_F(PackQvp, WritesTheDescriptionAndThePartsUnderTheirNames)
{
    Source("SM_V1.bin", 20000, 1);
    Source("BH.bin", 10, 2);
    ASSERT_EQ(Pack("--model 'Quorin V1' --notice 'for line 3' -o " + Quote((dir / "a.QVP").string()) +
                   " --main " + Quote(Src("SM_V1.bin")) + " --header=" + Quote(Src("BH.bin"))),
              0)
        << packOutput;
    EXPECT_EQ(PyList(dir / "a.QVP"),
              "UpgradeInfo.txt 84 8\n"
              "BH.bin 10 8\n"
              "SM_V1.bin 20000 8\n"
              "b' Result Type : Quorin V1\\r\\n Main Source File Path : SM_V1.bin\\r\\n"
              " Notice : for line 3\\r\\n'\n");
}

TEST_F(PackQvp, StoresUncompressedOnRequestAndWritesEachModelsKeys)
{
    Source("CDM_V1.NHB", 30, 1);
    Source("x.bin", 40, 2);
    ASSERT_EQ(Pack("--store --model v2 -o " + Quote((dir / "b.QVP").string()) + " --cdm " +
                   Quote(Src("CDM_V1.NHB")) + " --main " + Quote(Src("x.bin")) + " --rename"),
              0)
        << packOutput;
    EXPECT_EQ(PyList(dir / "b.QVP"),
              "UpgradeInfo.txt 107 0\n"
              "SM_x.bin 40 0\n"
              "CDM_V1.NHB 30 0\n"
              "b' Result Type : Quorin V2\\r\\n Main Body Source File Path : SM_x.bin\\r\\n"
              " CIS Body Source File Path : CDM_V1.NHB\\r\\n'\n");
    Source("body.bin", 40, 2);
    EndWithMark(Src("body.bin"));
    ASSERT_EQ(Pack("--model board -o " + Quote((dir / "c.QVP").string()) + " --board-body " +
                   Quote(Src("body.bin")) + " --rename"),
              0)
        << packOutput;
    EXPECT_EQ(PyList(dir / "c.QVP"),
              "UpgradeInfo.txt 79 8\n"
              "body.UPB 40 8\n"
              "b' Result Type : Upgrade Board\\r\\n Upgrade Board Body Source File Path : "
              "body.UPB\\r\\n'\n");
}

TEST_F(PackQvp, HelpNamesEveryOptionAndExitsZero)
{
    ASSERT_EQ(Pack("--help"), 0);
    for (const char* option :
         {"--model", "--out",     "--header", "--main",     "--cis-m",      "--cis-s",
          "--cf",    "--ir",      "--cdm",    "--cdm-boot", "--board-boot", "--board-body",
          "--name",  "--rename",  "--notice", "--store",    "--model-text", "--info-line",
          "--info",  "--no-info", "--extra",  "Exit status"})
        EXPECT_NE(packOutput.find(option), std::string::npos) << option;
}

struct Refusal {
    const char* name;
    const char* args; // %S is the source folder, %O the output
    int code;
    const char* says;
    friend void PrintTo(const Refusal& r, std::ostream* os) { *os << r.name; }
};

class PackRefusal : public PackQvp, public ::testing::WithParamInterface<Refusal> {};

TEST_P(PackRefusal, ExplainsAndWritesNothing)
{
    Source("SM_V1.bin", 10, 1);
    Source("main.bin", 10, 2);
    Source("BH_x.bin", 10, 3);
    std::string args = GetParam().args;
    for (std::size_t at; (at = args.find("%S")) != std::string::npos;)
        args.replace(at, 2, Src("").string());
    for (std::size_t at; (at = args.find("%O")) != std::string::npos;)
        args.replace(at, 2, (dir / "out.QVP").string());
    EXPECT_EQ(Pack(args), GetParam().code) << packOutput;
    EXPECT_NE(packOutput.find(GetParam().says), std::string::npos) << packOutput;
    EXPECT_FALSE(std::filesystem::exists(dir / "out.QVP"));
}

INSTANTIATE_TEST_SUITE_P(
    Bad, PackRefusal,
    ::testing::Values(
        Refusal{"NoModel", "-o %O --main %SSM_V1.bin", 2, "--model is required"},
        Refusal{"UnknownModel", "--model V3 -o %O --main %SSM_V1.bin", 2, "unknown model 'V3'"},
        Refusal{"NoOut", "--model v1 --main %SSM_V1.bin", 2, "--out is required"},
        Refusal{"NoPart", "--model v1 -o %O", 2, "no part given"},
        Refusal{"PartOfAnotherModel", "--model v2 -o %O --cf %SSM_V1.bin", 2,
                "--cf is not a part of a Quorin V2 package"},
        Refusal{"NameWithoutToken", "--model v1 -o %O --main %Smain.bin", 2,
                "the name 'main.bin' for --main must carry \"SM\""},
        Refusal{"EarlierTokenWins", "--model v1 -o %O --cis-s %SBH_x.bin --rename", 2,
                "is read by its token \"BH\" first"},
        Refusal{"NameWithFolder", "--model v1 -o %O --main %SSM_V1.bin --name main=a/SM.bin", 2,
                "must be a plain file name"},
        Refusal{"NameWithColon", "--model v1 -o %O --main %SSM_V1.bin --name main=SM:1.bin", 2,
                "must be a plain file name"},
        Refusal{"TwoPartsOneName",
                "--model v1 -o %O --main %SSM_V1.bin --cis-m %Smain.bin --name cis-m=SM_V1.bin", 2,
                "must carry \"SC\""},
        Refusal{"SameNameTwice",
                "--model v2 -o %O --main %SSM_V1.bin --header %SBH_x.bin --name header=SM_V1.bin", 2,
                "is read by its token \"SM\" first"},
        Refusal{"MissingFile", "--model v1 -o %O --main %SSM_V9.bin", 1, "No such file or directory"},
        Refusal{"FolderAsPart", "--model v1 -o %O --main %S --name main=SM.bin", 1, "not a regular file"},
        Refusal{"UnknownOption", "--model v1 -o %O --main %SSM_V1.bin --shiny", 2,
                "unknown option '--shiny'"},
        Refusal{"MissingValue", "--model v1 -o %O --main", 2, "option '--main' needs a value"},
        Refusal{"FlagWithValue", "--model=v1 -o %O --main=%SSM_V1.bin --store=yes", 2,
                "option '--store' takes no value"},
        Refusal{"OptionCutShort", "--mod v1 -o %O --main %SSM_V1.bin", 2, "unknown option '--mod'"},
        Refusal{"ArgumentAfterEnd", "--model v1 -o %O --main %SSM_V1.bin -- SM_V2.bin", 2,
                "unexpected argument 'SM_V2.bin'"},
        Refusal{"NameOfAPartNotGiven", "--model v1 -o %O --main %SSM_V1.bin --name cf=SF.bin", 2,
                "given without --cf"},
        Refusal{"NoInfoWithNotice", "--model v1 -o %O --main %SSM_V1.bin --no-info --notice x", 2,
                "--no-info cannot go with"},
        Refusal{"OutInMissingFolder", "--model v1 -o %S/none/out.QVP --main %SSM_V1.bin", 1,
                "cannot write"}));

} // namespace
