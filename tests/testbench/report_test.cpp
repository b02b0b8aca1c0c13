// The reports' texts: whatever bytes a bench or a note holds, the JUnit
// file stays well-formed XML 1.0 and each TAP test one line without a
// directive.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testbench/testbench.h"

namespace {

TEST(TestbenchReports, TextsAreCutToWhatTheirFormatsAllow) {
  struct Case {
    const char *name;
    std::string text, xml;  // in a bench's error message, as the XML has it
  } cases[] = {
      {"markup is escaped", "a<b>&\"c\" 'd'", "a&lt;b&gt;&amp;&quot;c&quot; &apos;d&apos;"},
      {"controls but TAB, LF and CR go", "a\x01\x1f\tb\nc\rd\x7f", "a&#9;b&#10;c&#13;d\x7f"},
      {"whole UTF-8 stays", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x94\x8c", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x94\x8c"},
      {"stray and cut bytes go", "a\xff\x80" "b\xc3", "ab"},
      {"overlong forms go", "a\xc0\xaf\xe0\x80\xaf" "b", "ab"},
      {"surrogates and non-characters go", "a\xed\xa0\x80\xef\xbf\xbe\xef\xbf\xbf" "b", "ab"},
      {"past U+10FFFF goes", "a\xf4\x90\x80\x80" "b", "ab"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Testbench> benches(1);
    benches[0].name = "b.qtb";
    benches[0].error = c.text;
    std::string xml = junitreport(benches, "t.qun");
    EXPECT_NE(xml.find("<error message=\"" + c.xml + "\""), std::string::npos) << xml;
  }
  // A '#' would make a TAP test a directive (SKIP, TODO); a line break
  // would end it.
  std::vector<Testbench> benches(1);
  benches[0].name = "b.qtb";
  BenchExpect e;
  e.line = 3;
  e.source = "by 1 note a # b\nc";
  e.held = false;
  e.message = "b.qtb:3: \"x\\\x02";
  e.seen = "not printed";
  benches[0].expects.push_back(e);
  std::string tap = tapreport(benches);
  EXPECT_NE(tap.find("\nnot ok 1 - b.qtb:3: by 1 note a \\# b c\n  ---\n  message: "
                     "\"b.qtb:3: \\\"x\\\\\"\n"),
            std::string::npos)
      << tap;
}

}  // namespace
