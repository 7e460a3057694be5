#include "protocols/message_preview.h"

#include <gtest/gtest.h>

namespace brivane {

// Real message shapes: the preview shows the words of the first text part
// (its charset converted as header words are).
TEST(MessagePreview, WordsOfTheFirstTextPartInOnePass) {
  const struct { const char* what; std::string header, body, preview; } cases[] = {
      {"multipart/alternative, quoted-printable UTF-8, cut at 80 characters",
       "MIME-Version: 1.0\r\nContent-Type: multipart/alternative; boundary=\"b1\"\r\n\r\n",
       "This is a multi-part message in MIME format.\r\n--b1\r\nContent-Type: text/plain; charset=UTF-8\r\n"
       "Content-Transfer-Encoding: quoted-printable\r\n\r\nGr=C3=BC=C3=9Fe aus K=C3=B6ln, das ist eine lange Zeile mit "
       "einem weichen Umbr=\r\nuch.\r\n\r\nZweiter   Absatz.\r\n--b1\r\nContent-Type: text/html; charset=UTF-8\r\n\r\n"
       "<p>html</p>\r\n--b1--\r\n",
       "Grüße aus Köln, das ist eine lange Zeile mit einem weichen Umbruch. Zweiter Absa"},
      {"base64 text/plain in ISO-8859-1", "Content-Type: text/plain; charset=iso-8859-1\r\nContent-Transfer-Encoding: base64\r\n",
       "R3L832UgYXVzIEv2bG4sIGRhcyBXZXR0ZXIgaXN0IHNjaPZuLg0KWndlaXRlIFplaWxlLg0K\r\n",
       "Grüße aus Köln, das Wetter ist schön. Zweite Zeile."},
      {"HTML only", "Content-Type: text/html; charset=windows-1252\r\n",
       "<html><head><title>T</title><style>p {color: red}</style></head><body><p>Hello&nbsp;<b>W</b>orld&#8364;&amp;co"
       "</p><script>var x = '<p>';</script><div>Next\x85 &lt;line&gt;<br>end <!-- hidden --></div>",
       "Hello World€&co Next… <line> end"},
      {"multipart/mixed with attachments first", "Content-Type: multipart/mixed; boundary=XYZ\r\n",
       "--XYZ\r\nContent-Type: application/pdf\r\nContent-Disposition: attachment; filename=a.pdf\r\n"
       "Content-Transfer-Encoding: base64\r\n\r\nJVBERi0xLjQgYmluYXJ5JVBERi0xLjQgYmluYXJ5\r\n--XYZ\r\n"
       "Content-Type: text/plain; charset=us-ascii\r\nContent-Disposition: attachment; filename=notes.txt\r\n\r\n"
       "attached notes\r\n--XYZ\r\nContent-Type: multipart/alternative; boundary=inner\r\n\r\n--inner\r\n"
       "Content-Type: text/plain\r\n\r\nThe body\r\ntext.\r\n--inner--\r\n--XYZ--\r\n",
       "The body text."},
      {"body cut inside a base64 part", "Content-Type: multipart/mixed; boundary=\"cut\"\r\n",
       "--cut\r\nContent-Type: text/plain; charset=iso-8859-1\r\nContent-Transfer-Encoding: base64\r\n\r\n"
       "R3L832UgYXVzIEv2bG4sIGRhcyBXZXR0", "Grüße aus Köln, das Wett"},
      {"no text part", "Content-Type: image/png\r\nContent-Transfer-Encoding: base64\r\n", "iVBORw0KGgo=\r\n", ""},
      {"no header: plain text, Windows-1252 when not UTF-8", "", "caf\xE9\r\n  au   lait\r\n", "café au lait"},
      {"us-ascii label holding UTF-8", "Content-Type: text/plain; charset=us-ascii\r\n", "caf\xC3\xA9", "café"},
      {"a head without its end tag, then the body", "Content-Type: text/html\r\n",
       "<html><head><title>T</title><meta charset=utf-8><BODY class=x><p>Hello</p>", "Hello"},
  };
  for (const auto& c : cases) EXPECT_EQ(messagePreviewText(c.header, c.body, 80), c.preview) << c.what;
  std::string euros;  // at most maxChars characters, never cut inside one
  for (int i = 0; i < 100; ++i) euros += "\xE2\x82\xAC";
  EXPECT_EQ(messagePreviewText("Content-Type: text/plain; charset=utf-8\r\n", euros, 80).size(), 80u * 3);
  // The kept bytes (64 KiB) end inside a long <head>: its title, not nothing.
  std::string html = "<html><head><title>Winter sale</title>";
  while (html.size() < 70000) html += "<style>.c" + std::to_string(html.size()) + " { color: red }</style>\n";
  html.resize(65536);
  EXPECT_EQ(messagePreviewText("Content-Type: text/html\r\n", html, 80), "Winter sale");
  // One pass over the HTML: the bytes looked at grow with the input's size,
  // whatever it holds (dropped elements, "&" without ";", unclosed ones).
  for (const std::string unit : {"<script>x</script><p>a</p>", "&&&&a", "</p></x><style>", "<!-- c --><b>"}) {
    std::string page;
    while (page.size() < 65536) page += unit;
    size_t steps = 0;
    htmlToText(page, &steps);
    EXPECT_LE(steps, 16 * page.size()) << unit;
  }
}

}  // namespace brivane
