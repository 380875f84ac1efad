#include "service/Service.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <new>
#include <stdexcept>
#include <string>

namespace {

HTTPRequest request(std::string method, std::string path, std::string authorization, std::string body = "")
{
    HTTPRequest r{std::move(method), std::move(path), {}, std::move(body)};
    if (!authorization.empty())
        r.headers["authorization"] = std::move(authorization);
    return r;
}

Service serviceWithEcho()
{
    Service service("to ken", "1.2.3");
    service.route("POST", "/echo", [](const Json& body) { return HTTPResponse{200, Json{{"got", body}}}; });
    service.route("GET", "/boom", [](const Json&) -> HTTPResponse { throw std::runtime_error("kaput"); });
    service.route("GET", "/oom", [](const Json&) -> HTTPResponse { throw std::bad_alloc(); });
    service.route("GET", "/int", [](const Json&) -> HTTPResponse { throw 42; });
    return service;
}

} // namespace

TEST(Service, BearerTokenGuardsEveryPath)
{
    const auto service = serviceWithEcho();
    const std::string refused[] = {"", "bearer to ken", "Bearer  to ken", "to ken", "Bearer to ken ", "Bearer to",
                                   "Bearer to kenx", "Basic to ken"};
    for (const auto& header : refused) {
        for (const auto& [method, path] : {std::pair{"POST", "/echo"}, {"GET", "/nowhere"}, {"POST", "/quit"}}) {
            const auto answer = service.handle(request(method, path, header, "not json"));
            EXPECT_EQ(answer.status, 401) << header;
            EXPECT_EQ(answer.body, (Json{{"error", "unauthorized"}, {"message", "a bearer token is required"}}));
        }
    }
    EXPECT_EQ(service.handle(request("POST", "/echo", "Bearer to ken")).status, 200);
}

TEST(Service, BodyMustBeAnObjectBeforeRouting)
{
    const auto service = serviceWithEcho();
    const Json bad = {{"error", "bad_request"}, {"message", "the body must be a JSON object"}};
    using namespace std::string_literals;
    const std::string deep = "{\"action\":\"key\",\"keys\":" + std::string(100'000, '[') + std::string(100'000, ']') + "}";
    for (const std::string& body : {" "s, "[]"s, "\"s\""s, "3"s, "null"s, "{"s, "{\"a\":1}x"s, "{\"a\":1}\0{\"b\":"s, "{}\0"s, deep}) {
        for (const char* path : {"/echo", "/unknown"}) {
            const auto answer = service.handle(request("POST", path, "Bearer to ken", body));
            EXPECT_EQ(answer.status, 400) << body.substr(0, 40);
            EXPECT_EQ(answer.body, bad);
        }
    }
    EXPECT_EQ(service.handle(request("POST", "/echo", "Bearer to ken")).body, (Json{{"got", Json::object()}}));
    EXPECT_EQ(service.handle(request("POST", "/echo", "Bearer to ken", "{\"a\":[1]}")).body,
              (Json{{"got", {{"a", {1}}}}}));
}

TEST(Service, RoutesByExactMethodAndPath)
{
    const auto service = serviceWithEcho();
    for (const auto& [method, path] : {std::pair{"GET", "/echo"}, {"post", "/echo"}, {"POST", "/echo/"},
                                       {"POST", "/Echo"}, {"POST", ""}}) {
        const auto answer = service.handle(request(method, path, "Bearer to ken"));
        EXPECT_EQ(answer.status, 404);
        EXPECT_EQ(answer.body, (Json{{"error", "not_found"}, {"message", std::string("no route ") + method + " " + path}}));
    }
}

TEST(Service, AnEndpointThatThrowsStillGetsAFixedAnswer)
{
    // Whatever was thrown, the caller learns that the request failed, not a library's text.
    const auto service = serviceWithEcho();
    for (const char* path : {"/boom", "/oom", "/int"}) {
        const auto answer = service.handle(request("GET", path, "Bearer to ken"));
        EXPECT_EQ(answer.status, 500) << path;
        EXPECT_EQ(answer.body, (Json{{"error", "internal_error"}, {"message", "the request failed"}})) << path;
    }
}

TEST(Service, NumberReadsLeniently)
{
    const struct {
        Json value;
        std::optional<double> expected;
    } cases[] = {
        {Json(3), 3.0}, {Json(-2.5), -2.5}, {Json(true), 1.0}, {Json(false), 0.0}, {Json("3.5"), 3.5},
        {Json("1e2"), 100.0}, {Json("0x10"), 16.0}, {Json(" 3"), std::nullopt}, {Json("3 "), std::nullopt},
        {Json(""), std::nullopt}, {Json("3px"), std::nullopt}, {Json(nullptr), std::nullopt},
        {Json::array({1}), std::nullopt}, {Json::object(), std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Service::number(&c.value), c.expected) << c.value.dump();
    EXPECT_EQ(Service::number(nullptr), std::nullopt);
    const Json nan = "NaN";
    EXPECT_TRUE(std::isnan(*Service::number(&nan)));
}

TEST(Service, IntegerClampsThenTruncates)
{
    const struct {
        Json value;
        std::optional<std::int64_t> expected;
    } cases[] = {
        {Json(20001), 20000}, {Json(1e300), 20000}, {Json(-5), 0}, {Json("7.9"), 7}, {Json(2.9), 2},
        {Json(true), 1}, {Json("inf"), std::nullopt}, {Json("-infinity"), std::nullopt}, {Json("nan"), std::nullopt},
        {Json("x"), std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Service::integer(&c.value, 0, 20000), c.expected) << c.value.dump();
    const Json negative = -2.9;
    EXPECT_EQ(Service::integer(&negative, -10, 10), -2);
    const Json huge = 1e300;
    EXPECT_EQ(Service::integer(&huge, -1e300, 1e300), INT64_MAX); // saturates, never undefined
    EXPECT_EQ(Service::integer(nullptr, 0, 1), std::nullopt);
}

TEST(Service, MemberIsNullWhenMissing)
{
    const Json body = {{"a", 1}};
    EXPECT_EQ(*Service::member(body, "a"), 1);
    EXPECT_EQ(Service::member(body, "b"), nullptr);
    EXPECT_EQ(Service::member(Json::array(), "a"), nullptr);
}
