// The .sig reader. Every input must end either in fields that write back to
// exactly the bytes read (the format has one spelling of each value, so a
// signature cannot be reworded without changing the statement it covers) or
// in a refusal with words; the statement is the file without its last line.
#include "signature/SignatureFile.h"

#include "FuzzSupport.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    CSignatureFile sig;
    std::string statement;
    std::string error;
    if (!ParseSignatureFile(text, sig, statement, error)) {
        if (error.empty())
            Broken("a refusal without words");
        return 0;
    }
    if (FormatSignatureFile(sig) != text)
        Broken("a file read that does not write back the same");
    if (SignedStatement(sig) != statement || text.substr(0, statement.size()) != statement)
        Broken("the statement is not the file's first five lines");
    if (!IsValidKeyName(sig.strKeyName) || sig.strKeyId.size() != SIGNATURE_KEY_ID_CHARS)
        Broken("a field that is not of the format: " + sig.strKeyName + " " + sig.strKeyId);
    if (text.size() > SIGNATURE_FILE_MAX_BYTES)
        Broken("a file larger than the limit read");
    return 0;
}
