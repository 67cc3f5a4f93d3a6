// The statistics page generator: values, sections over collections and
// sub-objects, sections left out, text that only looks like a marker, the
// end of generation, and an input that cannot be read twice.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "tools/stat_html.h"

namespace {

struct Node : Stat::Object {
    std::map<std::string, std::string> values;
    std::map<std::string, std::shared_ptr<Node>> objects;
    std::map<std::string, std::vector<Node>> lists;

    struct Iterator : Stat::IteratorBase {
        std::vector<Node>& items;
        size_t at = 0;
        explicit Iterator(std::vector<Node>& v) : items(v) {}
        bool valid() const override { return at < items.size(); }
        bool next() override { return ++at < items.size(); }
        Stat::Object& current() override { return items[at]; }
    };

    Stat::Value statistics_value(const std::string& name) const override
    {
        auto it = values.find(name);
        return it == values.end() ? Stat::Value() : Stat::Value(it->second);
    }
    Stat::Object* statistics_object(const std::string& name) const override
    {
        auto it = objects.find(name);
        return it == objects.end() ? nullptr : it->second.get();
    }
    std::unique_ptr<Stat::IteratorBase> statistics_iterator(const std::string& name) const override
    {
        auto it = lists.find(name);
        if (it == lists.end())
            return nullptr;
        return std::unique_ptr<Stat::IteratorBase>(new Iterator(const_cast<std::vector<Node>&>(it->second)));
    }
};

Node row(const std::string& name, const std::string& x = "")
{
    Node n;
    n.values["name"] = name;
    if (!x.empty())
        n.values["x"] = x;
    return n;
}

Node sample()
{
    Node root;
    root.values = {{"x", "42"}, {"a-b", "AB"}};
    root.lists["rows"] = {row("a"), row("b", "7"), row("c")};
    root.lists["none"] = {};
    root.lists["my-rows"] = {row("d"), row("e")};
    root.objects["sub"] = std::make_shared<Node>();
    root.objects["sub"]->values["y"] = "Y";
    return root;
}

// A stream buffer that reads a text once and cannot seek.
class OnceBuf : public std::streambuf {
public:
    explicit OnceBuf(std::string text) : mText(std::move(text)) { setg(&mText[0], &mText[0], &mText[0] + mText.size()); }

private:
    std::string mText;
};

} // namespace

TEST(StatHtml, TemplatesAreFilledFromTheObjectTree)
{
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"one %x% two", "one 42 two"},
        {"one %zz% two", "one %zz% two"},
        {"<!--GEN.rows-->[%name%:%x%]<!--GEN.end-->!", "[a:42][b:7][c:42]!"},
        {"<!--GEN.sub-->%y%/%x%<!--GEN.end-->", "Y/42"},
        {"<!--GEN.none-->[%x%<!--GEN.sub-->%y%<!--GEN.end-->]<!--GEN.end-->|", "|"},
        {"<!--GEN.nobody-->[%x%<!--GEN.rows-->r<!--GEN.end-->]<!--GEN.end-->|", "|"},
        {"<!--GEN.rows--><!--GEN.none-->%name%<!--GEN.end-->%name%<!--GEN.end-->", "abc"},
        {"<a href=\"50%\">%x%</a>", "<a href=\"50%\">42</a>"},
        {"<!-- note -->%x%<!-x><!--X--><!--GEX-->", "<!-- note -->42<!-x><!--X--><!--GEX-->"},
        {"100%% sure, %x%%%", "100%% sure, 42%%"},
        {"%a-b%<!--GEN.my-rows-->%name%<!--GEN.end-->", "ABde"},
        {"<!--GEN.sub-- anything here -->%y%<!--GEN.end-- too -->.", "Y."},
        {"text %x", "text "},
        {"text <!--GEN.ro", "text "},
        {"<!--GEN.rows-->%name%", "abc"},
    };
    Node root = sample();
    for (const auto& c : cases) {
        std::istringstream in(c.in);
        std::ostringstream out;
        EXPECT_TRUE(Stat::Html::generateV1(root, out, in)) << c.in;
        EXPECT_EQ(out.str(), c.out) << c.in;
    }
}

TEST(StatHtml, NothingIsReadAfterATopLevelEnd)
{
    Node root = sample();
    std::istringstream in("%x%<!--GEN.end-->rest %x%");
    std::ostringstream out;
    EXPECT_TRUE(Stat::Html::generateV1(root, out, in));
    EXPECT_EQ(out.str(), "42");
    std::string rest;
    std::getline(in, rest);
    EXPECT_EQ(rest, "rest %x%");
}

TEST(StatHtml, AnInputThatCannotSeekFailsACollectionButServesTheRest)
{
    Node root = sample();
    {
        OnceBuf buf("<!--GEN.rows-->%name%<!--GEN.end-->tail");
        std::istream in(&buf);
        std::ostringstream out;
        EXPECT_FALSE(Stat::Html::generateV1(root, out, in));
    }
    OnceBuf buf("%x%<!--GEN.sub-->%y%<!--GEN.end--><!--GEN.none-->%x%<!--GEN.end-->tail");
    std::istream in(&buf);
    std::ostringstream out;
    EXPECT_TRUE(Stat::Html::generateV1(root, out, in));
    EXPECT_EQ(out.str(), "42Ytail");
}

// Sections nest at most 100 deep, known or left out; deeper, and a
// 200,000-deep template of 3 MB, is refused without using up the stack.
TEST(StatHtml, NestingIsBoundedAtAHundredSections)
{
    Node known;
    known.values["v"] = "x";
    std::shared_ptr<Node> self(new Node(known));
    self->objects["s"] = self;
    known.objects["s"] = self;
    Node unknown;
    for (Node* root : {&known, &unknown}) {
        for (size_t depth : {size_t(100), size_t(101), size_t(200000)}) {
            std::string text;
            for (size_t i = 0; i < depth; ++i)
                text += "<!--GEN.s-->";
            text += "%v%";
            for (size_t i = 0; i < depth; ++i)
                text += "<!--GEN.end-->";
            std::istringstream in(text);
            std::ostringstream out;
            EXPECT_EQ(Stat::Html::generateV1(*root, out, in), depth <= Stat::Html::GeneratorV1::kMaxDepth) << depth;
            if (depth == 100) {
                EXPECT_EQ(out.str(), root == &known ? "x" : "");
            }
        }
    }
    self->objects.clear();
}

namespace {

// A template that did not open or cannot be read (a directory), and a page
// that the output cannot take (a full device), make no page.
TEST(StatHtml, ATemplateThatCannotBeReadOrAPageThatCannotBeWrittenFails)
{
    Node root = sample();
    for (const char* path : {"/nonexistent/page.html", "/"}) {
        std::ifstream in(path);
        std::ostringstream out;
        EXPECT_FALSE(Stat::Html::generateV1(root, out, in)) << path;
    }
    std::istringstream in("<p>%x%</p><!--GEN.rows-->%name%<!--GEN.end-->");
    std::ofstream full("/dev/full");
    ASSERT_TRUE(full.is_open());
    EXPECT_FALSE(Stat::Html::generateV1(root, full, in));
}

} // namespace
