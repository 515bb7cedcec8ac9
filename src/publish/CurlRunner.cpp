#include "CurlRunner.h"

#include <signal.h>

#include <chrono>

#include "platform/Classes.h"

TCurlRunner::TCurlRunner() {
    static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    if (!initialised || !(FMulti = curl_multi_init())) throw Exception("libcurl could not start");
    // A server that drops a connection mid-write must end that transfer, not
    // the program (libcurl, told not to touch signals, leaves this to us).
    signal(SIGPIPE, SIG_IGN);
}

TCurlRunner::~TCurlRunner() { curl_multi_cleanup(FMulti); }

void TCurlRunner::Add(CURL* easy, TCurlRequest& request) {
    curl_easy_setopt(easy, CURLOPT_PRIVATE, &request);
    curl_multi_add_handle(FMulti, easy);
    ++FActive;
}

void TCurlRunner::Remove(CURL* easy) {
    curl_multi_remove_handle(FMulti, easy);
    --FActive;
}

void TCurlRunner::Run(const std::function<void()>& tick, double tickSeconds) {
    using Clock = std::chrono::steady_clock;
    auto nextTick = Clock::now();
    while (FActive > 0) {
        int running = 0;
        curl_multi_perform(FMulti, &running);
        int left = 0;
        while (CURLMsg* msg = curl_multi_info_read(FMulti, &left)) {
            if (msg->msg != CURLMSG_DONE) continue;
            CURL* easy = msg->easy_handle;
            CURLcode code = msg->data.result;
            TCurlRequest* request = nullptr;
            curl_easy_getinfo(easy, CURLINFO_PRIVATE, &request);
            Remove(easy);
            request->Finish(code);  // may start the request's next one
        }
        if (tick && Clock::now() >= nextTick) {
            tick();
            nextTick = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(tickSeconds));
        }
        if (FActive > 0) curl_multi_poll(FMulti, nullptr, 0, static_cast<int>(tickSeconds * 1000), nullptr);
    }
    if (tick) tick();
}
