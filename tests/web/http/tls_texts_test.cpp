#include "web/http/tls_texts.h"

#include <gtest/gtest.h>

namespace {

TEST(CipherListText, TableAndListForms)
{
    const struct {
        bool table;
        const char* text;
        size_t size;
        const char* out;
    } cases[] = {
        {true, nullptr, 64, "[Error]"},
        {false, nullptr, 64, "[Error]"},
        {true, "", 64, "<td></td>"},
        {true, "ECDHE-RSA-AES256-GCM-SHA384 TLSv1.2 Kx=ECDH", 64, "ECDHE-RSA-AES256-GCM-SHA384 </td><td> TLSv1.2"},
        {false, "AES256-SHA SSLv3 Kx=RSA Au=RSA", 64, "AES256-SHA, , Kx=RSA, Au=RSA"},
        {false, "TLSv1.2 AES128", 64, "TLSv1.2, AES128"},
        {false, "AES256-SHA SSLv3 Kx=RSA Au=RSA", 12, "AES256-SHA,"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(formatCipherList(c.table, c.text, c.size), c.out) << (c.text ? c.text : "null");
}

} // namespace
