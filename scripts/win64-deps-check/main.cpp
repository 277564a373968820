// Links one call into each library of the Windows dependency prefix and
// prints what each reports, so a broken or half-built prefix shows up
// before the agent's own cross build does (scripts/win64-deps-check.sh).
#include <ace/ACE.h>
#include <ace/Init_ACE.h>
#include <ace/OS_NS_sys_time.h>
#include <ace/Time_Value.h>
#include <ace/Version.h>
#include <boost/regex.hpp>
#include <boost/version.hpp>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <sqlite3.h>
#include <yajl/yajl_gen.h>
#include <yajl/yajl_version.h>
#include <zlib.h>

#include <cstdio>
#include <string>

// ACE's headers rename main on Windows and expect the (argc, argv) form.
int main(int, char*[]) {
    int failures = 0;
    auto check = [&failures](bool ok, const char* what) {
        if (!ok) {
            std::printf("FAILED: %s\n", what);
            ++failures;
        }
    };

    check(ACE::init() != -1, "ACE::init");
    ACE_Time_Value now = ACE_OS::gettimeofday();
    check(now.sec() > 0, "ACE_OS::gettimeofday");
    std::printf("ACE %s (time %ld)\n", ACE_VERSION, static_cast<long>(now.sec()));

    unsigned char random[16] = {};
    check(RAND_bytes(random, sizeof random) == 1, "RAND_bytes");
    std::printf("%s\n", OpenSSL_version(OPENSSL_VERSION));

    check(curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK, "curl_global_init");
    std::printf("%s\n", curl_version());
    curl_global_cleanup();

    sqlite3* db = nullptr;
    check(sqlite3_open(":memory:", &db) == SQLITE_OK, "sqlite3_open");
    sqlite3_close(db);
    std::printf("SQLite %s\n", sqlite3_libversion());

    yajl_gen gen = yajl_gen_alloc(nullptr);
    check(gen != nullptr, "yajl_gen_alloc");
    yajl_gen_map_open(gen);
    yajl_gen_string(gen, reinterpret_cast<const unsigned char*>("ok"), 2);
    yajl_gen_bool(gen, 1);
    yajl_gen_map_close(gen);
    const unsigned char* json = nullptr;
    size_t json_len = 0;
    yajl_gen_get_buf(gen, &json, &json_len);
    std::string out(reinterpret_cast<const char*>(json), json_len);
    check(out == "{\"ok\":true}", "yajl_gen output");
    yajl_gen_free(gen);
    std::printf("YAJL %d %s\n", yajl_version(), out.c_str());

    boost::regex re("v(\\d+)\\.(\\d+)");
    boost::smatch m;
    std::string text = "zlib v1.2";
    check(boost::regex_search(text, m, re) && m[1] == "1", "boost::regex_search");
    std::printf("Boost %d (regex matched %s)\n", BOOST_VERSION, m[0].str().c_str());

    check(zlibVersion()[0] == ZLIB_VERSION[0], "zlibVersion");
    std::printf("zlib %s\n", zlibVersion());

    std::printf("GoogleTest linked: %s\n",
                ::testing::UnitTest::GetInstance() != nullptr ? "yes" : "no");

    ACE::fini();
    std::printf("%s\n", failures == 0 ? "all libraries work" : "some libraries FAILED");
    return failures == 0 ? 0 : 1;
}
