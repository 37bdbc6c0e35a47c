#include "tools/portal/catalogue.h"

#include <algorithm>

namespace plimo::portal {
namespace {

std::vector<Note> tune(std::initializer_list<int> notes, int millis)
{
    std::vector<Note> melody;
    for (int midi : notes)
        melody.push_back({midi, millis});
    return melody;
}

std::string escapeHtml(const std::string &text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string fileName(const AudioFile &file)
{
    return file.path.substr(file.path.rfind('/') + 1);
}

std::string attachmentMarkup(const Post &post)
{
    if (post.attachment == Attachment::None)
        return "<p>첨부파일은 카페에 올려 두었습니다. 쪽지 주세요.</p>\n";
    const AudioFile &file = audioFiles().at(post.file);
    const std::string address = fileAddress(file);
    const std::string name = fileName(file);
    const std::string icon =
        R"(<img src="http://blogimgs.naver.net/nblog/ico_file.gif" alt="첨부파일">)";
    switch (post.attachment) {
    case Attachment::LinkWithType:
        return "<div class=\"attach\"><a href=\"" + address +
               "?type=attachment\" class=\"file_link\">" + name + "</a></div>\n";
    case Attachment::LinkAroundImage:
        return "<div class=\"attach\"><a href=\"" + address + "\">" + icon + "</a> " + name +
               "</div>\n";
    case Attachment::ScriptObject:
        return "<script type=\"text/javascript\">aAttachFiles.push({'encodedAttachFileUrl':'" +
               address + "','licenseyn': 'N'});</script>\n";
    case Attachment::DivBlocks:
        return "<DIV class=\"attach\"><INPUT type=hidden name=attachUrl value=" + address +
               "></DIV><DIV class=\"attach_info\">" + name + "</DIV>\n";
    case Attachment::PlainText:
        return "<p>첨부파일: " + address + " <br>" + name + "</p>\n";
    case Attachment::TypeAndImage:
        return "<div class=\"attach\"><a href=\"" + address + "?type=attachment\">" + icon +
               "</a></div>\n";
    case Attachment::AtPageEnd:
        // Nothing after the address may hold a blank, not even the closing tags.
        return "<p>받아가세요:" + address;
    case Attachment::None:
        break;
    }
    return {};
}

std::string resultItem(const Post &post, bool capitals)
{
    const std::string link = std::string("http://") + BlogHost + "/" + post.blogId +
                             "?Redirect=Log" + (capitals ? "&amp;" : "&") + "logNo=" + post.logNo;
    const std::string open = capitals ? R"(<DT><A CLASS="sh_blog_title" HREF=")"
                                      : R"(<dt><a class="sh_blog_title" href=")";
    const std::string close = capitals ? "</A></DT>" : "</a></dt>";
    return "<li><dl>\n" + open + link + "\" target=_blank>" + escapeHtml(post.title) + close +
           "\n<dd class=\"txt_inline\">2009.0" + std::to_string(post.resultPage + 2) + ".1" +
           std::to_string(post.resultPage) + "</dd>\n" +
           "<dd class=\"sh_blog_passage\">직접 만든 곡입니다. 첨부파일로 올려요.</dd>\n" +
           "<dd class=\"txt_block\"><a href=\"http://" + BlogHost + "/" + post.blogId +
           "\" class=\"url\" target=_blank>" + BlogHost + "/" + post.blogId + "</a></dd>\n" +
           "</dl></li>\n";
}

}  // namespace

const std::vector<AudioFile> &audioFiles()
{
    static const std::vector<AudioFile> files = {
        {"/20090311_42/plimo_cafe/spring_waltz.wav",
         tune({60, 64, 67, 67, 64, 67, 72, 71, 69, 67, 0}, 280)},
        {"/20090402_118/moonlight_88/evening_bell.wav",
         tune({76, 72, 74, 67, 0, 67, 74, 76, 72}, 330)},
        {"/20090415_7/haru_music/rain_etude.wav",
         tune({69, 72, 76, 81, 76, 72, 69, 72, 76, 81, 84, 0}, 220)},
        {"/20090501_93/ddolmang/cheerful_march.wav",
         tune({67, 67, 72, 72, 76, 76, 72, 0, 74, 74, 71, 67}, 240)},
        {"/20090512_15/bluenote77/slow_blues.wav", tune({48, 52, 55, 57, 58, 57, 55, 52}, 380)},
        {"/20090520_61/sori_bang/봄비.wav", tune({79, 76, 74, 72, 74, 76, 79, 0, 81, 79}, 300)},
        {"/20090603_24/plimo_cafe/lullaby.wav", tune({64, 67, 72, 67, 64, 60, 62, 64}, 400)},
        {"/20090611_5/jazzy_day/at_the_end.wav", tune({62, 65, 69, 72, 71, 67, 0}, 300)},
        {"/20090702_33/ddolmang/arpeggio.wav",
         tune({60, 64, 67, 72, 76, 79, 84, 79, 76, 72, 67, 64}, 180)},
        {"/20090815_12/haneul_sky/festival.wav", tune({72, 74, 76, 79, 76, 79, 81, 84, 0}, 260)},
    };
    return files;
}

const std::vector<Post> &posts()
{
    // Kept in the order the result pages list them.
    static const std::vector<Post> all = {
        {"plimo_cafe", "40062345123", "[피아노] 봄의 왈츠 직접 연주했어요", 1,
         Attachment::LinkWithType, 0},
        {"moonlight_88", "60071234567", "저녁 종소리 - 오르골 버전", 1, Attachment::LinkAroundImage,
         1},
        {"haru_music", "30045678901", "빗소리 연습곡 (자작곡)", 1, Attachment::PlainText, 2},
        {"ddolmang", "50033334444", "신나는 행진곡 MIDI 변환", 2, Attachment::ScriptObject, 3},
        {"bluenote77", "20012121212", "느린 블루스 한 소절", 2, Attachment::DivBlocks, 4},
        {"sori_bang", "70098765432", "봄비 - 우쿨렐레 연주", 2, Attachment::PlainText, 5},
        {"plimo_cafe", "40062399999", "자장가 (제목 없는 글)", 3, Attachment::PlainText, 6, false},
        {"nofile_kim", "10000000001", "첨부파일 없는 글입니다", 3, Attachment::None, 0},
        {"jazzy_day", "80011112222", "끝에 붙은 첨부파일", 3, Attachment::AtPageEnd, 7},
        {"ddolmang", "50033335555", "아르페지오 연습", 4, Attachment::TypeAndImage, 8},
        {"spring_fan", "90055556666", "봄의 왈츠 퍼왔어요", 4, Attachment::LinkWithType, 0},
        {"haneul_sky", "30077778888", "축제의 노래", 6, Attachment::LinkAroundImage, 9},
    };
    return all;
}

std::string fileAddress(const AudioFile &file)
{
    return std::string("http://") + FileHost + file.path;
}

std::string postViewAddress(const Post &post)
{
    return std::string("http://") + BlogHost + "/PostView.nhn?blogId=" + post.blogId +
           "&logNo=" + post.logNo + "&from=search";
}

std::string resultPage(int page, const std::string &query)
{
    const std::string q = escapeHtml(query);
    std::string items;
    for (const Post &post : posts()) {
        if (post.resultPage == page)
            items += resultItem(post, page == 4);  // one page in capitals, as some old pages were
    }
    std::string html = "<!DOCTYPE html>\n<html lang=\"ko\"><head><meta charset=\"UTF-8\">\n"
                       "<title>" +
                       q + " : 네이버 블로그검색</title></head>\n<body>\n";
    if (items.empty()) {
        html += "<div class=\"result_none\">'" + q + "'에 대한 블로그 검색결과가 없습니다.</div>\n";
    } else {
        html += "<div class=\"result_header\"><strong>" + q + "</strong> 블로그 검색결과 " +
                std::to_string(page * 10 - 9) + "-" + std::to_string(page * 10) + "</div>\n" +
                "<ul class=\"type01\">\n" + items + "</ul>\n";
    }
    html += "<div class=\"paging\">";
    for (int p = 1; p <= ResultPages; ++p) {
        html += p == page ? "<strong>" + std::to_string(p) + "</strong>"
                          : "<a href=\"?where=post&amp;query=" + q +
                                "&amp;start=" + std::to_string(p * 10 - 9) + "\">" +
                                std::to_string(p) + "</a>";
    }
    return html + "</div>\n</body></html>\n";
}

std::string postPage(const Post &post)
{
    const std::string title = escapeHtml(post.title);
    std::string html = "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; "
                       "charset=UTF-8\">\n<title>네이버 블로그 :: 포스트 내용</title></head>\n"
                       "<body>\n<div id=\"post-view" +
                       post.logNo + "\" class=\"post-view\">\n";
    html += post.titleMarker ? "<span class=\"pcol1 itemSubjectBoldfont\">" + title + "</span>\n"
                             : "<h3 class=\"se_title\">" + title + "</h3>\n";
    html += "<div class=\"date\">2009/0" + std::to_string(post.resultPage + 2) +
            "/11 21:04</div>\n<div class=\"post-content\"><p>직접 만든 곡이에요. 들어 보세요.</p>"
            "</div>\n" +
            attachmentMarkup(post);
    if (post.attachment == Attachment::AtPageEnd)
        return html + "</p></div></body></html>";
    return html + "</div>\n</body></html>\n";
}

const Post *findPost(const std::string &blogId, const std::string &logNo)
{
    for (const Post &post : posts()) {
        if (post.blogId == blogId && post.logNo == logNo)
            return &post;
    }
    return nullptr;
}

const AudioFile *findFile(const std::string &path)
{
    const std::string trimmed = path.substr(0, path.find_last_not_of(' ') + 1);
    const auto &files = audioFiles();
    const auto it = std::find_if(files.begin(), files.end(),
                                 [&](const AudioFile &file) { return file.path == trimmed; });
    return it == files.end() ? nullptr : &*it;
}

std::vector<ExpectedRow> expectedRows()
{
    std::vector<ExpectedRow> rows;
    for (const Post &post : posts()) {
        if (post.attachment == Attachment::None || post.attachment == Attachment::AtPageEnd)
            continue;
        const std::string address = fileAddress(audioFiles().at(post.file));
        std::string cut = address + " ";
        if (post.attachment == Attachment::LinkAroundImage)
            cut = address;  // the fragment that ends the address takes the blank with it
        if (post.attachment == Attachment::TypeAndImage)
            cut = address + "?type=attachment";
        const std::string title = post.titleMarker ? escapeHtml(post.title) : postPage(post);
        rows.push_back({title, cut, post.resultPage});
    }
    return rows;
}

}  // namespace plimo::portal
