// Signed packages as users meet them: velunda-pack signs, and velunda-cli
// info, a CLI run and File Load check the package against its .sig and the
// trusted keys, with and without the policy.
#include "CliTestSupport.h"

#include "app/HeadlessHost.h"
#include "signature/SignatureOpenSsl.h"
#include "window/UpgradeDlg.h"

#include <nlohmann/json.hpp>

#include <fstream>

using namespace clitest;

namespace {

enum class ETamper { None, PartByte, LocalHeader, CentralDir, SigByte, OtherSig, NamesAnotherKey, NoSig };
enum class ETrust { Signer, SignerInUserFolder, OtherOnly, SignerAndMalformed, OpensslKey };
enum class EPolicy { Off, Flag, Config, ConfigNo, ConfigTypo };

struct SigCase {
    const char* name;
    bool qvp;
    ETamper tamper;
    ETrust trust;
    EPolicy policy;
    const char* state; // the package event's signature state; null: refused
    const char* says;  // in what the program printed
};

class CliSignatureTest : public CliTest {
protected:
    // NAME.key and NAME.pub under keys/, by velunda-pack or by OpenSSL's own tool.
    fs::path Key(const std::string& name, bool openssl = false)
    {
        fs::create_directories(m_dir / "keys");
        const RunResult made =
            openssl ? RunProgram({"/usr/bin/openssl", "genpkey", "-algorithm", "EC", "-pkeyopt",
                                  "ec_paramgen_curve:P-256", "-out", name + ".key"},
                                 m_dir / "keys", 30s)
                    : RunProgram({TestPath("VELUNDA_PACK"), "keygen", name}, m_dir / "keys", 30s);
        EXPECT_EQ(made.exitCode, 0) << made.err;
        if (openssl)
            RunProgram({"/usr/bin/openssl", "pkey", "-in", name + ".key", "-pubout", "-out", name + ".pub"},
                       m_dir / "keys", 30s);
        return m_dir / "keys" / (name + ".key");
    }
    void Sign(const fs::path& package, const fs::path& key)
    {
        const RunResult made = RunProgram(
            {TestPath("VELUNDA_PACK"), "sign", "--key", key.string(), package.string()}, m_dir, 30s);
        EXPECT_EQ(made.exitCode, 0) << made.err;
    }
    void Trust(const fs::path& pub, const fs::path& folder)
    {
        fs::create_directories(folder);
        fs::copy_file(pub, folder / pub.filename(), fs::copy_options::overwrite_existing);
    }
    fs::path SystemKeys() const { return m_etc / "trusted-keys"; }
};

std::string ReadText(const fs::path& path)
{
    const Bytes bytes = ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

void WriteText(const fs::path& path, const std::string& text)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// Changes the byte at offset to another of the same kind (a hex digit stays one).
void Flip(const fs::path& path, std::size_t offset)
{
    Bytes bytes = ReadFileBytes(path);
    ASSERT_LT(offset, bytes.size()) << path;
    std::uint8_t& b = bytes[offset];
    b = std::isxdigit(b) ? (b == '0' ? '1' : '0') : static_cast<std::uint8_t>(b ^ 0x01);
    WriteFileBytes(path, bytes);
}

std::size_t Find(const fs::path& path, const std::string& what)
{
    return ReadText(path).find(what);
}

TEST_F(CliSignatureTest, EachPackageIsCheckedAgainstItsSignatureTheTrustedKeysAndThePolicy)
{
    using T = ETamper;
    using K = ETrust;
    using P = EPolicy;
    const char* const changed = "was made for: it changed after it was signed";
    const SigCase cases[] = {
        {"signed .DAT", false, T::None, K::Signer, P::Off, "valid", "signed by acme (key "},
        {"signed .QVP, key in the user's folder", true, T::None, K::SignerInUserFolder, P::Flag, "valid", ""},
        {"key made by OpenSSL's tool", true, T::None, K::OpensslKey, P::Flag, "valid", "signed by ossl"},
        {".DAT part byte", false, T::PartByte, K::Signer, P::Off, nullptr, changed},
        {".QVP part byte", true, T::PartByte, K::Signer, P::Off, nullptr, changed},
        {"ZIP local header", true, T::LocalHeader, K::Signer, P::Off, nullptr, changed},
        {"ZIP central directory", true, T::CentralDir, K::Signer, P::Off, nullptr, changed},
        {"a byte of the .sig", true, T::SigByte, K::Signer, P::Off, nullptr,
         "is damaged: its signature does not verify with the key it names"},
        {"signed by one trusted key, naming another", true, T::NamesAnotherKey, K::Signer, P::Off, nullptr,
         "was not made by the key it names (acme, key id "},
        {"the .sig of another package", false, T::OtherSig, K::Signer, P::Off, nullptr, changed},
        {"untrusted key, no policy", true, T::None, K::OtherOnly, P::Off, "untrusted",
         "untrusted key: other"},
        {"untrusted key, --require-signature", false, T::None, K::OtherOnly, P::Flag, nullptr,
         "signed by a key that is not trusted here (other, key id "},
        {"malformed trusted key skipped", true, T::None, K::SignerAndMalformed, P::Config, "valid",
         "a-junk.pub is skipped"},
        {"unsigned, no policy", false, T::NoSig, K::Signer, P::Off, "unsigned", ""},
        {"unsigned, --require-signature", false, T::NoSig, K::Signer, P::Flag, nullptr, "it is unsigned"},
        {"unsigned, policy in velunda.conf", true, T::NoSig, K::Signer, P::Config, nullptr, "it is unsigned"},
        {"unsigned, velunda.conf says no", true, T::NoSig, K::Signer, P::ConfigNo, "unsigned", ""},
        {"unsigned, velunda.conf mistyped", false, T::NoSig, K::Signer, P::ConfigTypo, nullptr,
         "taken as yes"},
    };
    const fs::path acme = Key("acme");
    const fs::path other = Key("other");
    const fs::path ossl = Key("ossl", true);
    // The private key is the owner's alone and never made twice.
    EXPECT_EQ(fs::status(acme).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    const Bytes acmeKey = ReadFileBytes(acme);
    EXPECT_EQ(RunProgram({TestPath("VELUNDA_PACK"), "keygen", "acme"}, m_dir / "keys", 30s).exitCode, 1);
    EXPECT_TRUE(SameBytes(ReadFileBytes(acme), acmeKey));
    const fs::path dat = MakeDat({{"--main", 3000, "3"}});
    const fs::path qvp = MakeV2Qvp().qvp;
    const fs::path second = MakeDat({{"--cf", 500, "2"}}, "second.DAT");
    Sign(second, acme);
    for (const SigCase& c : cases) {
        SCOPED_TRACE(c.name);
        for (const fs::path& dir : {m_etc, m_config})
            fs::remove_all(dir);
        const fs::path package = m_dir / (c.qvp ? "case.qvp" : "case.DAT");
        const fs::path sig = package.string() + ".sig";
        fs::copy_file(c.qvp ? qvp : dat, package, fs::copy_options::overwrite_existing);
        fs::remove(sig);
        const bool byOther = c.trust == K::OtherOnly || c.tamper == T::NamesAnotherKey;
        const fs::path& signer = byOther ? other : c.trust == K::OpensslKey ? ossl : acme;
        if (c.tamper != T::NoSig)
            Sign(package, signer);
        const fs::path trusted = (c.trust == K::OpensslKey ? ossl : acme).parent_path() /
                                 (c.trust == K::OpensslKey ? "ossl.pub" : "acme.pub");
        Trust(trusted,
              c.trust == K::SignerInUserFolder ? m_config / "velunda" / "trusted-keys" : SystemKeys());
        if (c.tamper == T::NamesAnotherKey)
            Trust(m_dir / "keys" / "other.pub", SystemKeys());
        if (c.trust == K::SignerAndMalformed)
            WriteText(SystemKeys() / "a-junk.pub", "-----BEGIN PUBLIC KEY-----\nnot a key\n");
        const char* conf = c.policy == P::Config       ? "require-signature = yes\n"
                           : c.policy == P::ConfigNo   ? "# loads unsigned packages\nrequire-signature = no\n"
                           : c.policy == P::ConfigTypo ? "require-signature = yse\n"
                                                       : nullptr;
        if (conf != nullptr)
            WriteText(m_etc / "velunda.conf", conf);
        switch (c.tamper) {
        case T::PartByte:
            Flip(package, fs::file_size(package) / 2);
            break;
        case T::LocalHeader:
            Flip(package, 10); // the first entry's time
            break;
        case T::CentralDir:
            Flip(package, Find(package, "PK\x01\x02") + 12);
            break;
        case T::SigByte:
            Flip(sig, fs::file_size(sig) - 10);
            break;
        case T::OtherSig:
            fs::copy_file(second.string() + ".sig", sig, fs::copy_options::overwrite_existing);
            break;
        case T::NamesAnotherKey: {
            // other's statement renamed to acme (whose id the other package's .sig names), signed anew by
            // other.
            CSignatureFile made;
            CSignatureFile acmes;
            std::string statement;
            std::string error;
            ASSERT_TRUE(ParseSignatureFile(ReadText(sig), made, statement, error)) << error;
            ASSERT_TRUE(ParseSignatureFile(ReadText(second.string() + ".sig"), acmes, statement, error))
                << error;
            made.strKeyId = acmes.strKeyId;
            made.strKeyName = "acme";
            WriteText(m_dir / "statement", SignedStatement(made));
            RunProgram(
                {"/usr/bin/openssl", "dgst", "-sha256", "-sign", other.string(), "-out", "der", "statement"},
                m_dir, 30s);
            const Bytes der = ReadFileBytes(m_dir / "der");
            ASSERT_TRUE(OpenSslRsFromDer(std::vector<std::uint8_t>(der.begin(), der.end()), made.signature));
            WriteText(sig, FormatSignatureFile(made));
            break;
        }
        default:
            break;
        }
        std::vector<std::string> args = {"info", "--json", package.string()};
        if (c.policy == P::Flag)
            args.insert(args.begin() + 1, "--require-signature");
        const RunResult r = Cli(args);
        EXPECT_EQ(r.exitCode, c.state != nullptr ? 0 : 2) << r.out << r.err;
        std::string state;
        for (const auto& event : JsonEvents(r.out, "package"))
            if (event.value("model", "") != "unknown")
                state = event["signature"].value("state", "");
        EXPECT_EQ(state, c.state != nullptr ? c.state : "") << r.out;
        // The text output names the signer; a refusal names the package and what is wrong.
        const RunResult text =
            Cli({"info", c.policy == P::Flag ? "--require-signature" : "--quiet", package.string()});
        EXPECT_NE((text.out + text.err).find(c.says), std::string::npos) << text.out << text.err;
        if (c.state == nullptr) {
            EXPECT_NE(text.err.find("annot load the package " + package.string() + ": "), std::string::npos)
                << text.err;
        }
    }
}

TEST_F(CliSignatureTest, ARefusedPackageEndsARunOrAStationBeforeAnythingIsSent)
{
    const fs::path key = Key("acme");
    Trust(m_dir / "keys" / "acme.pub", SystemKeys());
    const fs::path tampered = MakeDat({{"--main", 3000, "3"}});
    Sign(tampered, key);
    Flip(tampered, fs::file_size(tampered) - 40);
    const fs::path unsignedDat = MakeDat({{"--main", 3000, "3"}}, "unsigned.DAT");
    StartTarget();
    const struct {
        std::vector<std::string> args;
        const char* says;
    } runs[] = {
        {{"--usb-tty", m_target->SlavePath(), "--items", "MAIN", tampered.string()},
         "changed after it was signed"},
        {{"--station", "--usb-tty", m_target->SlavePath(), "--require-signature", unsignedDat.string()},
         "it is unsigned"},
    };
    for (const auto& run : runs) {
        const RunResult r = Cli(run.args);
        EXPECT_EQ(r.exitCode, 2) << r.out << r.err;
        EXPECT_NE(r.err.find(run.says), std::string::npos) << r.err;
        EXPECT_TRUE(!fs::exists(m_dir / "rec") || fs::is_empty(m_dir / "rec"));
    }
}

TEST_F(CliSignatureTest, FileLoadShowsTheRefusalStaysOnReadyAndRecordsTheSignerOfTheNextLoad)
{
    const fs::path key = Key("acme");
    Trust(m_dir / "keys" / "acme.pub", SystemKeys());
    const fs::path qvp = MakeV2Qvp().qvp;
    Sign(qvp, key);
    const Bytes good = ReadFileBytes(qvp);
    Flip(qvp, Find(qvp, "PK\x01\x02") + 12);

    CHeadlessHost host;
    CAppOptions options;
    options.noHistory = true;
    CUpgradeDlg dlg(host, options);
    dlg.OnInitDialog();
    host.QueueOpenFileAnswer(qvp.string());
    host.Click(IDC_BUTTON_FILE_LOAD);
    EXPECT_EQ(host.MessageTexts(),
              std::vector<std::string>{"Cannot load the package " + qvp.string() +
                                       ": it is not the package its signature v2.qvp.sig was "
                                       "made for: it changed after it was signed."});
    EXPECT_TRUE(host.IsControlEnabled(IDC_BUTTON_FILE_LOAD));
    EXPECT_FALSE(host.IsControlEnabled(IDC_BUTTON_CONNECT));
    EXPECT_EQ(host.ListRowCount(IDC_LIST_PART), 0);
    EXPECT_FALSE(host.IsControlVisible(IDC_STATIC_SIGNATURE));
    EXPECT_FALSE(fs::exists(m_dir / "v2")) << "nothing may be unpacked";

    WriteFileBytes(qvp, good);
    host.ClearMessages();
    host.QueueOpenFileAnswer(qvp.string());
    host.Click(IDC_BUTTON_FILE_LOAD);
    EXPECT_TRUE(host.MessageTexts().empty());
    EXPECT_TRUE(host.IsControlEnabled(IDC_BUTTON_CONNECT));
    const CHistoryRun& record = dlg.Journal().Record();
    EXPECT_EQ(record.signatureState, "valid");
    EXPECT_EQ(record.signerName, "acme");
    EXPECT_EQ(record.signerKeyId.size(), 16u);
    EXPECT_EQ(host.GetText(IDC_STATIC_SIGNATURE), "Package: signed by acme (key " + record.signerKeyId + ")");
    EXPECT_TRUE(host.IsControlVisible(IDC_STATIC_SIGNATURE));
    host.CloseWindow();
}

} // namespace
