// Parsing and decoding of a realistic 3 KB message header: eight Received
// lines, a DKIM signature, encoded From, To and Subject.
#include <benchmark/benchmark.h>

#include <string>

#include "protocols/mail_message.h"

namespace {

std::string realisticHeader() {
  std::string h;
  for (int i = 0; i < 8; ++i) {
    h += "Received: from mx" + std::to_string(i) + ".relay.example.net (mx" + std::to_string(i) +
         ".relay.example.net [192.0.2." + std::to_string(10 + i) +
         "])\r\n\tby mail.example.org (Postfix) with ESMTPS id 4F2B1C0A9" + std::to_string(i) +
         "\r\n\tfor <user@example.org>; Tue, 3 Mar 2026 12:0" + std::to_string(i) + ":17 +0100 (CET)\r\n";
  }
  h += "DKIM-Signature: v=1; a=rsa-sha256; c=relaxed/relaxed; d=example.net; s=sel2026;\r\n"
       "\tt=1772535600; bh=frcCV1k9oG9oKj3dpUqdJg1PxRT2RSN/XKdLCPjaYaY=;\r\n"
       "\th=From:To:Subject:Date:Message-ID:MIME-Version:Content-Type;\r\n"
       "\tb=Q2hlY2tpbmcgdGhlIHNpZ25hdHVyZSBpcyBub3QgcGFydCBvZiB0aGlzIGJlbmNobWFyayBi\r\n"
       "\t dXQgaXRzIGxlbmd0aCBpcy4gQWxsIHdvcmsgYW5kIG5vIHBsYXkgbWFrZXMgSmFjayBhIGR1\r\n"
       "\t bGwgYm95LiBBbGwgd29yayBhbmQgbm8gcGxheSBtYWtlcyBKYWNrIGEgZHVsbCBib3kuIEFs\r\n"
       "\t bCB3b3JrIGFuZCBubyBwbGF5IG1ha2VzIEphY2sgYSBkdWxsIGJveS4=\r\n";
  h += "From: =?UTF-8?Q?M=C3=BCller=2C_Hans?= <hans.mueller@example.net>\r\n"
       "To: =?ISO-8859-1?Q?J=F6rg_Sch=E4fer?= <joerg@example.org>,\r\n"
       " =?UTF-8?B?0JjQstCw0L0g0J/QtdGC0YDQvtCy?= <ivan@example.org>\r\n"
       "Subject: =?UTF-8?B?UmU6IEFuZ2Vib3QgZsO8ciBkaWUgTGllZmVydW5nIGltIE3DpHJ6?=\r\n"
       " =?UTF-8?Q?_=E2=80=93_bitte_best=C3=A4tigen?=\r\n"
       "Date: Tue, 3 Mar 2026 12:07:15 +0100\r\n"
       "Message-ID: <20260303110715.4F2B1C0A97@mail.example.net>\r\n"
       "In-Reply-To: <20260302091500.1234@example.org>\r\n"
       "References: <20260301080000.1111@example.org> <20260302091500.1234@example.org>\r\n"
       "MIME-Version: 1.0\r\n"
       "Content-Type: multipart/alternative; boundary=\"=_alt_2026_03_03\"\r\n"
       "X-Mailer: Example Mail Client 12.4\r\n"
       "List-Unsubscribe: <https://lists.example.net/unsubscribe?list=offers&id=4F2B1C0A97>,\r\n"
       " <mailto:offers-unsubscribe@lists.example.net?subject=unsubscribe>\r\n"
       "Authentication-Results: mail.example.org; dkim=pass header.d=example.net;\r\n"
       "\tspf=pass smtp.mailfrom=example.net; dmarc=pass header.from=example.net\r\n"
       "X-Spam-Status: No, score=-0.1 required=5.0 tests=DKIM_SIGNED,DKIM_VALID\r\n"
       "\r\n";
  return h;
}

void BM_ParseAndDecodeHeader(benchmark::State& state) {
  const std::string header = realisticHeader();
  for (auto _ : state) {
    brivane::MailMessage m = brivane::MailMessage::fromHeaderBytes(header);
    benchmark::DoNotOptimize(m.subject.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(header.size()));
  state.counters["header_bytes"] = static_cast<double>(header.size());
}
BENCHMARK(BM_ParseAndDecodeHeader)->Unit(benchmark::kMicrosecond);

// The decode step alone on lines already received (a reused message object).
void BM_DecodeReceivedLines(benchmark::State& state) {
  brivane::MailMessage m = brivane::MailMessage::fromHeaderBytes(realisticHeader());
  for (auto _ : state) {
    m.decodeHeaders();
    benchmark::DoNotOptimize(m.from.data());
  }
}
BENCHMARK(BM_DecodeReceivedLines)->Unit(benchmark::kMicrosecond);

}  // namespace
