// ChangeFeed: listings compared on each notification, and the service asked once a second.
#include "change_feed.h"

#include <chrono>
#include <nlohmann/json.hpp>

#include "listing_change.h"
#include "router_parts.h"
#include "service_probe.h"

namespace vemserve {

using zel::vem::MovieCatalog;
using zel::vem::MovieDescription;

namespace {

std::string nowText() {
    return isoTime(std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count());
}

}  // namespace

ChangeFeed::ChangeFeed(MovieCatalog& catalog, std::function<void(std::string)> publish)
    : catalog_(catalog), publish_(std::move(publish)) {
    for (const MovieDescription& movie : catalog_.list()) {
        previous_.insert(movie.entryName);
    }
    subscription_ = catalog_.subscribe([this] { changed(); });
    if (!catalog_.emulator()) {
        watcher_ = std::thread([this] { watchService(); });
    }
}

ChangeFeed::~ChangeFeed() {
    catalog_.unsubscribe(subscription_);
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    stop_.notify_all();
    if (watcher_.joinable()) {
        watcher_.join();  // at most one question of the service's bound
    }
}

void ChangeFeed::changed() {
    std::set<std::string> now;
    try {
        for (const MovieDescription& movie : catalog_.list()) {
            now.insert(movie.entryName);
        }
    } catch (const std::exception&) {
        // No listing to be had (the drive went): none of its movies is there.
    }
    std::lock_guard<std::mutex> hold(lock_);
    const nlohmann::ordered_json event =
        vemcli::changeJson(vemcli::compareListings(previous_, now), nowText());
    previous_ = std::move(now);
    publish_("event: change\ndata: " + event.dump() + "\n\n");
}

void ChangeFeed::watchService() {
    vemcli::ServiceWatch service;
    std::unique_lock<std::mutex> hold(lock_);
    while (!stop_.wait_for(hold, std::chrono::seconds(1), [this] { return stopping_; })) {
        hold.unlock();
        const bool before = service.present();
        for (const char* name : service.step()) {
            const nlohmann::ordered_json event = {{"time", nowText()}, {"event", name}};
            publish_("event: service\ndata: " + event.dump() + "\n\n");
        }
        // A drive that is back may bring other movies than it took away, and one that went
        // took its movies: the listing is compared again.
        if (service.present() != before) {
            changed();
        }
        hold.lock();
    }
}

}  // namespace vemserve
