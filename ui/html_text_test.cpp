#include "ui/html_text.h"

#include <gtest/gtest.h>

#include <vector>

namespace veldar {
namespace {

TEST(HtmlToText, ShowsThePageAsText) {
  struct Case {
    const char* what;
    std::string html, text;
  };
  for (const Case& c : std::vector<Case>{
           {"tags off, references decoded", "<p>a &amp; <b>b</b> &lt;c&gt; &#233;&#x41;&quot;&nbsp;ログ</p>",
            "a & b <c> \xC3\xA9"
            "A\" ログ"},
           {"head, script and style dropped",
            "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>T</title><style>p { x: 1 }</style></head>"
            "<body><script>var a = '<p>no</p>';</script><p>Text</p></body></html>",
            "Text"},
           {"blanks run together, paragraphs apart, <br> breaks",
            "\n<h1>Title</h1>\n<p>one\n  two</p>\n<p>three<BR>four</p>\n", "Title\n\none two\n\nthree\nfour"},
           {"no blank where a line breaks between Japanese characters", "<p>です。\nバックアップ\n(F1)\nキー</p>",
            "です。バックアップ (F1) キー"},
           {"list items on lines of their own", "<p>Buttons</p><ul>\n<li>a</li>\n<li><b>b</b> c</li>\n</ul>after",
            "Buttons\n\n- a\n- b c\n\nafter"},
           {"table rows on lines, cells apart",
            "<table>\n<tr><th>Option</th><th>Meaning</th></tr>\n<tr><td><code>/M</code>n</td><td>keep n</td></tr>"
            "</table>",
            "Option\tMeaning\n/Mn\tkeep n"},
           {"<pre> as written", "<p>x</p><pre><code>a  b\n  c &gt;&gt; d ^\r\n  e</code></pre><p>y</p>",
            "x\n\na  b\n  c >> d ^\n  e\n\ny"},
           {"comments and quoted '>' in attributes", "<!-- <p>no</p> --><a href=\"x>y\" title='>'>link</a>", "link"},
           {"what starts no tag or reference stays", "a < b && c &bogus; &#0; <3",
            "a < b && c &bogus; \xEF\xBF\xBD <3"},
           {"an unclosed head loses only its parts", "<head><title>T</title><p>kept</p>", "kept"},
           {"an unclosed script drops the rest", "<p>a</p><script>b", "a"},
       }) {
    EXPECT_EQ(HtmlToText(c.html), c.text) << c.what;
  }
}

}  // namespace
}  // namespace veldar
