// velmox-bench-store-search: search latency of the mail stores. Fills a
// store (an SQLite file or a PostgreSQL database, the -d of velmox-server)
// with messages made up here, through the store's own Save, up to each
// size given, and after each times searches as the Search page asks for
// them: one page of ten results of MAX 100, words of the messages' own
// vocabulary (one or two, common and rare), each order, with and without
// word variants. The messages belong to -u USERS owners in turn (default 1)
// and the searches are the first owner's, so that what the owner filter
// costs shows against a store of one user. Prints one CSV row per store size:
//   store,messages,searches,p50_ms,p90_ms,p99_ms,fill_seconds
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "bench_util.h"
#include "html_text.h"
#include "mail_text.h"
#include "options.h"
#include "store_choice.h"

namespace {

const char kProgram[] = "velmox-bench-store-search";
const char kUsage[] = "-d DATABASE -n SIZE[,SIZE...] [-q SEARCHES] [-u USERS] [-l LABEL]";
const char* const kFolders[] = {"inbox", "inbox", "archive", "sent"};

// A vocabulary of made-up words, drawn with a Zipf-like weight: a few are
// in most messages, most in few.
class Words {
public:
    explicit Words(std::mt19937& random) : m_random(random) {
        const char* syllables[] = {"ka", "lo", "mer", "tan", "vi", "sol", "dre", "pu", "nex", "or", "ba", "qui"};
        for (int i = 0; i < 5000; ++i) {
            std::string word;
            for (int n = i; word.size() < 4 || n > 0; n /= 12) word += syllables[n % 12];
            m_words.push_back(word + (i % 3 == 0 ? "ing" : i % 3 == 1 ? "ed" : ""));
            m_weights.push_back(1.0 / (i + 1));
        }
        m_pick = std::discrete_distribution<int>(m_weights.begin(), m_weights.end());
    }
    const std::string& Any() { return m_words[size_t(m_pick(m_random))]; }
    std::string Text(int count) {
        std::string text;
        for (int i = 0; i < count; ++i) text += (i ? (i % 12 == 11 ? ". " : " ") : "") + Any();
        return text;
    }

private:
    std::mt19937& m_random;
    std::vector<std::string> m_words;
    std::vector<double> m_weights;
    std::discrete_distribution<int> m_pick;
};

}  // namespace

int main(int argc, char** argv) {
    ServerOptions options;
    std::vector<long> sizes;
    long searches = 500;
    long users = 1;
    std::string label;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h") bench::Help(kProgram, kUsage);
        if (i + 1 >= argc) bench::Die(kProgram, "usage: " + std::string(kUsage));
        const char* value = argv[++i];
        if (arg == "-d") options.database = value;
        else if (arg == "-q") searches = bench::ParseCount(kProgram, value, 1, 1000000);
        else if (arg == "-u") users = bench::ParseCount(kProgram, value, 1, 100000);
        else if (arg == "-l") label = value;
        else if (arg == "-n") {
            for (std::string rest = value; !rest.empty();) {
                size_t comma = rest.find(',');
                sizes.push_back(bench::ParseCount(kProgram, rest.substr(0, comma).c_str(), 1, 10000000));
                rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
            }
        } else bench::Die(kProgram, "usage: " + std::string(kUsage));
    }
    if (sizes.empty()) bench::Die(kProgram, "usage: " + std::string(kUsage));
    if (label.empty()) label = IsPostgresUri(options.database) ? "postgresql" : "sqlite";
    try {
        PrepareMailStore(options);
        std::unique_ptr<MailStore> store = OpenMailStore(options);
        std::mt19937 random(20261209);
        Words words(random);
        long made = 0;
        for (long size : sizes) {
            int64_t start = bench::NowNs();
            for (; made < size; ++made) {
                MessageChange change;
                change.owner = "user" + std::to_string(made % users);
                change.ident = NewIdent();
                change.folder = kFolders[made % 4];
                change.sender = "bench@example.org";
                change.hasRecipient = change.hasSubject = change.hasBody = true;
                change.recipient = "reader@example.org";
                change.subject = words.Text(5);
                change.body = words.Text(60);
                store->Save(change, nullptr);
            }
            double fill = double(bench::NowNs() - start) / 1e9;
            std::vector<double> ms;
            for (long q = 0; q < searches; ++q) {
                SearchRequest request;
                request.owner = "user0";
                request.folder = "inbox";
                request.words.push_back(words.Any());
                if (q % 3 == 2) request.words.push_back(words.Any());
                request.wordVariants = q % 2 == 1;
                request.order = SearchOrder(1 + q % 3);
                request.limit = 100;
                request.offset = 0;
                request.count = 10;
                int64_t t = bench::NowNs();
                store->Search(request);
                ms.push_back(double(bench::NowNs() - t) / 1e6);
            }
            std::printf("%s,%ld,%ld,%.3f,%.3f,%.3f,%.1f\n", label.c_str(), size, searches, bench::Quantile(ms, 0.5),
                        bench::Quantile(ms, 0.9), bench::Quantile(ms, 0.99), fill);
            std::fflush(stdout);
        }
    } catch (const StoreError& error) {
        bench::Die(kProgram, error.what());
    }
    return 0;
}
