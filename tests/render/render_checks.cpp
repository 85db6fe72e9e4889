// Render checks: small scenes rendered by korrender, their pixels compared
// with values worked out by hand. Every tests/render/checks/*.json file holds
// named renders (a scene, extra arguments, values replaced with --set) and
// checks on them; each check is one test case. See tests/render/README.md.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "session.h"

using json = nlohmann::json;

namespace {

const std::string kSource = KOR_SOURCE_DIR;

std::string read_text(const std::string &path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string quote(const std::string &text) {
    std::string q = "'";
    for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// The temporary folder of this run, removed when the program ends.
struct WorkDir {
    std::string path;
    WorkDir() {
        char tmpl[] = "/tmp/korrender_checks_XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~WorkDir() {
        const std::string command = "rm -rf " + quote(path);
        if (std::system(command.c_str()) != 0) fprintf(stderr, "cannot remove %s\n", path.c_str());
    }
};

WorkDir &work_dir() {
    static WorkDir dir;
    return dir;
}

// One check as the table gives it, with the file it came from.
struct Check {
    std::string file;  // the table's name (checks/NAME.json)
    std::string name;
    json spec;
    json renders;  // the table's renders
};

std::vector<Check> load_checks() {
    std::vector<Check> checks;
    const std::string dir = kSource + "/tests/render/checks";
    std::vector<std::string> files;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n.size() > 5 && n.compare(n.size() - 5, 5, ".json") == 0) files.push_back(n);
        }
        closedir(d);
    }
    std::sort(files.begin(), files.end());
    for (const auto &f : files) {
        json table;
        try {
            table = json::parse(read_text(dir + "/" + f));
        } catch (const json::exception &e) {
            ADD_FAILURE() << dir << "/" << f << ": " << e.what();
            continue;
        }
        const std::string stem = f.substr(0, f.size() - 5);
        for (const auto &c : table.value("checks", json::array()))
            checks.push_back({stem, c.value("name", "unnamed"), c, table.value("renders", json())});
    }
    return checks;
}

// A finished render: exit status, messages and the folder of its images.
struct Render {
    std::once_flag once;
    int status = -1;
    std::string log;
    std::string dir;
};

struct Image {
    int width = 0, height = 0;
    std::vector<float> rgba;  // top row first
    const float *at(int x, int y) const { return &rgba[(static_cast<size_t>(y) * width + x) * 4]; }
};

void make_render(const Check &check, const std::string &name, Render &r) {
    if (!check.renders.contains(name)) {
        r.log = "no render named \"" + name + "\" in checks/" + check.file + ".json";
        return;
    }
    const json &spec = check.renders[name];
    r.dir = work_dir().path + "/" + check.file + "_" + name;
    std::string command = "mkdir -p " + quote(r.dir) + " && cd " + quote(r.dir) + " && " +
                          quote(KORRENDER) + " " + quote(kSource + "/" + spec.value("scene", "")) +
                          " -o out.exr --threads 2 --no-progress";
    for (const auto &a : spec.value("args", json::array()))
        command += " " + quote(a.get<std::string>());
    const json set = spec.value("set", json::object());
    for (const auto &[pointer, value] : set.items())
        command += " --set " + quote(pointer + "=" + value.dump());
    command += " > log.txt 2>&1";
    const int raw = std::system(command.c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    r.log = read_text(r.dir + "/log.txt");
}

// Each render is made once, keyed by table and name, whichever thread asks first.
const Render &render(const Check &check, const std::string &name) {
    static std::map<std::string, std::unique_ptr<Render>> all;
    static std::mutex lock;
    Render *r;
    {
        std::lock_guard<std::mutex> guard(lock);
        auto &slot = all[check.file + "/" + name];
        if (!slot) slot = std::make_unique<Render>();
        r = slot.get();
    }
    std::call_once(r->once, [&] { make_render(check, name, *r); });
    return *r;
}

bool load_image(const std::string &path, Image &out, std::string &error) {
    korhost::ImageEntry e;
    if (!korhost::read_image(path, e, error)) return false;
    out.width = e.image.width;
    out.height = e.image.height;
    out.rgba.resize(e.pixels.size());
    const size_t row = static_cast<size_t>(out.width) * 4;
    for (int y = 0; y < out.height; ++y)
        std::copy_n(&e.pixels[(out.height - 1 - y) * row], row, &out.rgba[y * row]);
    return true;
}

// The image a check reads: the beauty image or a frame-buffer file.
bool image_of(const Check &check, const json &ref, Image &out, std::string &error) {
    const std::string name = ref.value("render", "");
    const Render &r = render(check, name);
    if (r.status != 0) {
        error = "render \"" + name + "\" exited with " + std::to_string(r.status) + ":\n" + r.log;
        return false;
    }
    return load_image(r.dir + "/" + ref.value("file", check.spec.value("file", "out.exr")), out,
                      error);
}

std::vector<int> channels_of(const json &spec) {
    const std::string names = spec.value("channels", "rgb");
    std::vector<int> out;
    for (char c : names) out.push_back(std::string("rgba").find(c));
    return out;
}

struct Region {
    int x = 0, y = 0, w = 0, h = 0;
};

bool region_of(const json &ref, const Image &img, Region &out, std::string &error) {
    out = {0, 0, img.width, img.height};
    if (ref.contains("region")) {
        const json &r = ref["region"];
        out = {r.at(0).get<int>(), r.at(1).get<int>(), r.at(2).get<int>(), r.at(3).get<int>()};
    }
    if (out.x < 0 || out.y < 0 || out.w < 1 || out.h < 1 || out.x + out.w > img.width ||
        out.y + out.h > img.height) {
        error = "region outside the " + std::to_string(img.width) + "x" +
                std::to_string(img.height) + " image";
        return false;
    }
    return true;
}

std::vector<double> mean_of(const Image &img, const Region &r, const std::vector<int> &channels) {
    std::vector<double> sum(channels.size(), 0.0);
    for (int y = r.y; y < r.y + r.h; ++y)
        for (int x = r.x; x < r.x + r.w; ++x)
            for (size_t k = 0; k < channels.size(); ++k) sum[k] += img.at(x, y)[channels[k]];
    for (double &s : sum) s /= static_cast<double>(r.w) * r.h;
    return sum;
}

std::string list(const std::vector<double> &v) {
    std::ostringstream out;
    out << "[";
    for (size_t i = 0; i < v.size(); ++i) out << (i ? ", " : "") << v[i];
    return out.str() + "]";
}

void PrintTo(const Check &check, std::ostream *out) {
    *out << check.file << "/" << check.name;
}

class Checks : public testing::TestWithParam<Check> {};

TEST_P(Checks, Hold) {
    const Check &check = GetParam();
    const json &spec = check.spec;
    SCOPED_TRACE("checks/" + check.file + ".json: " + check.name + ": " + spec.value("why", ""));
    const std::string name = spec.value("render", "");
    const Render &r = render(check, name);
    const int status = spec.value("exit", 0);
    ASSERT_EQ(r.status, status) << r.log;
    if (spec.contains("log")) {
        EXPECT_NE(r.log.find(spec["log"].get<std::string>()), std::string::npos)
            << "messages lack \"" << spec["log"].get<std::string>() << "\":\n"
            << r.log;
    }
    if (status != 0 || !(spec.contains("expect") || spec.contains("differs_from"))) return;

    Image img;
    Region region;
    std::string error;
    ASSERT_TRUE(image_of(check, spec, img, error)) << error;
    ASSERT_TRUE(region_of(spec, img, region, error)) << error;
    const std::vector<int> channels = channels_of(spec);

    if (spec.contains("differs_from")) {
        const json &other = spec["differs_from"];
        Image img2;
        ASSERT_TRUE(image_of(check, other, img2, error)) << error;
        ASSERT_EQ(img.width, img2.width);
        ASSERT_EQ(img.height, img2.height);
        double largest = 0;
        for (int y = region.y; y < region.y + region.h; ++y)
            for (int x = region.x; x < region.x + region.w; ++x)
                for (int c : channels)
                    largest =
                        std::max<double>(largest, std::fabs(img.at(x, y)[c] - img2.at(x, y)[c]));
        if (spec.contains("min")) {
            EXPECT_GE(largest, spec["min"].get<double>());
        }
        if (spec.contains("max")) {
            EXPECT_LE(largest, spec["max"].get<double>());
        }
        return;
    }

    std::vector<double> value;
    if (spec.contains("count_above")) {
        const double threshold = spec["count_above"].get<double>();
        int count = 0;
        for (int y = region.y; y < region.y + region.h; ++y)
            for (int x = region.x; x < region.x + region.w; ++x)
                if (img.at(x, y)[channels[0]] > threshold) ++count;
        value = {static_cast<double>(count)};
    } else {
        value = mean_of(img, region, channels);
    }
    if (spec.contains("ratio_to")) {
        const json &other = spec["ratio_to"];
        Image img2;
        Region region2;
        ASSERT_TRUE(image_of(check, other, img2, error)) << error;
        ASSERT_TRUE(region_of(other.contains("region") ? other : spec, img2, region2, error))
            << error;
        const std::vector<double> base = mean_of(img2, region2, channels);
        for (size_t k = 0; k < value.size(); ++k) {
            ASSERT_GT(std::fabs(base[k]), 1e-9) << "the reference region is black";
            value[k] /= base[k];
        }
    }
    const std::vector<double> expect = spec.at("expect").get<std::vector<double>>();
    const double tol = spec.value("tol", 0.01);
    ASSERT_EQ(expect.size(), value.size()) << "\"expect\" has one value per channel";
    for (size_t k = 0; k < value.size(); ++k)
        EXPECT_NEAR(value[k], expect[k], tol)
            << "channel " << k << ": measured " << list(value) << ", expected " << list(expect);
}

std::string test_name(const testing::TestParamInfo<Check> &info) {
    std::string n = info.param.file + "_" + info.param.name;
    for (char &c : n)
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
    return n;
}

const std::vector<Check> &all_checks() {
    static const std::vector<Check> checks = load_checks();
    return checks;
}

INSTANTIATE_TEST_SUITE_P(, Checks, testing::ValuesIn(all_checks()), test_name);

// The renders that the selected checks read are made ahead of the checks, in
// their order, as many at a time as there are cores (small renders spend most
// of their time starting); a check whose render is not made yet makes it
// itself. So the first failing check of a run with --gtest_fail_fast comes
// as soon as its render is made.
class Prerender : public testing::Environment {
  public:
    void SetUp() override {
        std::set<std::string> selected;
        const testing::UnitTest &unit = *testing::UnitTest::GetInstance();
        for (int i = 0; i < unit.total_test_suite_count(); ++i) {
            const testing::TestSuite &suite = *unit.GetTestSuite(i);
            for (int j = 0; j < suite.total_test_count(); ++j)
                if (suite.GetTestInfo(j)->should_run())
                    selected.insert(suite.GetTestInfo(j)->name());
        }
        std::set<std::string> seen;
        for (size_t k = 0; k < all_checks().size(); ++k) {
            const Check &c = all_checks()[k];
            if (!selected.count("Hold/" + test_name({c, k}))) continue;
            for (const char *ref : {"", "ratio_to", "differs_from"}) {
                const json &from = *ref ? c.spec.value(ref, json::object()) : c.spec;
                const std::string name = from.value("render", "");
                if (!name.empty() && seen.insert(c.file + "/" + name).second)
                    work_.emplace_back(&c, name);
            }
        }
        for (unsigned t = 0; t < std::max(1u, std::thread::hardware_concurrency()); ++t)
            threads_.emplace_back([this] {
                for (size_t i; !stop_ && (i = next_++) < work_.size();)
                    render(*work_[i].first, work_[i].second);
            });
    }
    void TearDown() override {
        stop_ = true;
        for (auto &t : threads_) t.join();
    }

  private:
    std::vector<std::pair<const Check *, std::string>> work_;
    std::atomic<size_t> next_{0};
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

const testing::Environment *const prerender = testing::AddGlobalTestEnvironment(new Prerender);

}  // namespace
