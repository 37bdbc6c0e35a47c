#pragma once

// What the sample portal knows: a dozen blog posts with attached tunes, the
// result pages that list them (the same for any query) and the pages of the
// posts themselves, in the markup of the portal's old blog search.
//
// Result pages 1, 2, 3, 4 and 6 list posts; 5 and 7 to 10 are empty. Among the
// posts are the awkward ones: attachments wrapped in markup fragments, a post
// without its title marker, a post without an attachment, an attachment with
// no blank anywhere after it, two posts sharing one file, and a result page
// written in capitals with "&amp;" in its links.

#include "tools/portal/wav.h"

#include <string>
#include <vector>

namespace plimo::portal {

inline constexpr char SearchHost[] = "search.naver.com";
inline constexpr char BlogHost[] = "blog.naver.com";
inline constexpr char FileHost[] = "blogattach.naver.com";

inline constexpr int ResultPages = 10;

struct AudioFile {
    std::string path;  // on the file host, as text (not percent-encoded), from "/"
    std::vector<Note> melody;
};

// How a post page carries its attachment address, named after the markup that
// follows the address in the page.
enum class Attachment {
    LinkWithType,     // <a href="ADDR?type=attachment" class=...>
    LinkAroundImage,  // <a href="ADDR"><img ...>
    ScriptObject,     // {'url':'ADDR','licenseyn': 'N'}
    DivBlocks,        // value=ADDR></DIV><DIV class=...>
    PlainText,        // ADDR <br>
    TypeAndImage,     // <a href="ADDR?type=attachment"><img ...>
    AtPageEnd,        // no blank follows ADDR anywhere in the page
    None,             // the post has no attachment
};

struct Post {
    std::string blogId;
    std::string logNo;
    std::string title;
    int resultPage;  // 1..ResultPages: the page that lists the post
    Attachment attachment;
    int file;  // index into audioFiles(); unused with Attachment::None
    bool titleMarker = true;
};

const std::vector<AudioFile> &audioFiles();
const std::vector<Post> &posts();

// "http://blogattach.naver.com" followed by the file's path, as a post writes it.
std::string fileAddress(const AudioFile &file);
// "http://blog.naver.com/PostView.nhn?blogId=...&logNo=...&from=search".
std::string postViewAddress(const Post &post);

// Result page `page` (1..ResultPages) for a query (already decoded); any other
// page number gives the page that says nothing was found.
std::string resultPage(int page, const std::string &query);
std::string postPage(const Post &post);

// nullptr when the catalogue has no such post or file. A file path may end in
// blanks (result rows carry one); they are ignored.
const Post *findPost(const std::string &blogId, const std::string &logNo);
const AudioFile *findFile(const std::string &path);

// A row the program's search should list for the catalogue: the title as the
// post page carries it (the whole page when the title marker is missing) and
// the file address as cut from the page, trailing blank included.
struct ExpectedRow {
    std::string title;
    std::string address;
    int resultPage;  // the result page whose loss would drop this row
};

// In the order a search lists them (result page order, then page order).
std::vector<ExpectedRow> expectedRows();

}  // namespace plimo::portal
