// The settings reader through devices made by the built plug-in, with
// standard output captured, for a kind host and harsh ones (whose
// constructors leave the identifier at the top of its type).
#include <gtest/gtest.h>

#include <json/reader.h>

#include "support.h"

namespace {

using standin::Service;

Json::Value parse(const std::string& text)
{
    Json::Value v;
    Json::CharReaderBuilder builder;
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    if (!reader->parse(text.data(), text.data() + text.size(), &v, &errors)) {
        ADD_FAILURE() << "bad test JSON: " << errors;
    }
    return v;
}

class SettingsTest : public vx40test::HostsTest {
protected:
    // Applies the settings and returns what was printed.
    std::string apply(const std::string& json, int* result = nullptr)
    {
        const Json::Value settings = parse(json);
        testing::internal::CaptureStdout();
        const int r = dev_->InitSetting(settings);
        if (result != nullptr) {
            *result = r;
        }
        return testing::internal::GetCapturedStdout();
    }
    vx40test::VX40Base& base() { return dynamic_cast<vx40test::VX40Base&>(*dev_); }
};

TEST_P(SettingsTest, NoAppSettingKeepsModeOneButStillStampsAndCallsTheBase)
{
    dev_->data_id_ = 0x01020304;
    host_.init_setting_result = 42;
    int result = 0;
    EXPECT_EQ(apply(R"({"thresholdSetting": {"a": {"ID": 1}}})", &result), "");
    EXPECT_EQ(result, 42);
    EXPECT_EQ(base().b_mode_, 1);
    EXPECT_TRUE(base().signal_alarm_ids_.empty());
    EXPECT_EQ(host_.count(Service::InitSetting), 1U);
    // The identifier leads the next distributed record, little-endian.
    vx40test::full_round(*dev_);
    const auto record = vx40test::last_distributed(host_);
    EXPECT_EQ(std::vector<unsigned char>(record.begin(), record.begin() + 4),
              (std::vector<unsigned char>{0x04, 0x03, 0x02, 0x01}));
}

// Applying settings to a device that already holds data rewrites the
// identifier's four bytes and nothing else of the record.
TEST_P(SettingsTest, IdentifierIsTheOnlyRecordChange)
{
    testing::internal::CaptureStdout();
    vx40test::full_round(*dev_);
    testing::internal::GetCapturedStdout();
    const auto before = vx40test::last_distributed(host_);
    dev_->data_id_ = 0xA1B2C3D4;
    apply("{}");
    std::vector<unsigned char> record(139);
    std::memcpy(record.data(), &base().data_, record.size());
    auto expected = before;
    std::copy_n(std::vector<unsigned char>{0xD4, 0xC3, 0xB2, 0xA1}.begin(), 4, expected.begin());
    EXPECT_EQ(record, expected);
}

TEST_P(SettingsTest, AppSettingOfAnotherTypeIsIgnored)
{
    EXPECT_EQ(apply(R"({"appSetting": "3"})"), "");
    EXPECT_EQ(apply(R"({"appSetting": [3]})"), "");
    EXPECT_EQ(base().b_mode_, 1);
}

// The identifier is printed unsigned and the mode signed, at the ends of
// their types too; a number beyond the mode's type is held at its end.
TEST_P(SettingsTest, ModeFromNumberOrLeadingDigits)
{
    const struct {
        const char* value;
        int mode;
        std::uint32_t id;
    } cases[] = {{"3", 3, 7},
                 {"\"3\"", 3, 0},
                 {"\"3abc\"", 3, 2147483647U},
                 {"\"abc\"", 0, 2147483648U},
                 {"\" -2\"", -2, 4294967295U},
                 {"true", 0, 7},
                 {"2147483647", 2147483647, 7},
                 {"\"-2147483648\"", -2147483647 - 1, 7},
                 {"\"99999999999\"", 2147483647, 7},
                 {"\"-99999999999\"", -2147483647 - 1, 7}};
    for (const auto& c : cases) {
        dev_->data_id_ = c.id;
        const std::string out =
            apply(std::string(R"({"appSetting": {"b_mode": )") + c.value + "}}");
        EXPECT_EQ(base().b_mode_, c.mode) << c.value;
        EXPECT_EQ(out, "InitSetting " + std::to_string(c.id) + " b_mode_:" +
                           std::to_string(c.mode) + "\n" + (c.mode == 3 ? "here 1\n" : ""))
            << c.value;
    }
    // A later call without the key keeps the mode.
    apply(R"({"appSetting": {"b_mode": 3}})");
    EXPECT_EQ(apply("{}"), "here 1\n");
    EXPECT_EQ(base().b_mode_, 3);
}

TEST_P(SettingsTest, ThresholdSettingShapesThatVisitNothing)
{
    apply(R"({"appSetting": {"b_mode": 3}})");
    for (const char* shape : {R"("text")", "12", "{}", "[]"}) {
        EXPECT_EQ(apply(std::string(R"({"thresholdSetting": )") + shape + "}"), "here 1\nhere 2\n")
            << shape;
    }
    EXPECT_EQ(apply(R"({"thresholdSetting": {"n": 5, "t": "x"}})"),
              "here 1\nhere 2\nhere n\nhere t\n");
    EXPECT_TRUE(base().signal_alarm_ids_.empty());
    EXPECT_TRUE(base().signal_names_.empty());
    EXPECT_TRUE(dev_->threshold_levels_.empty());
    EXPECT_TRUE(dev_->threshold_values_.empty());
}

TEST_P(SettingsTest, SignalIdentitiesAndDiagnosticLines)
{
    dev_->data_id_ = 4294967295U;
    dev_->threshold_levels_["b"] = -2147483647 - 1;
    dev_->threshold_levels_["c"] = 2147483647;
    dev_->threshold_values_["b"] = 12.345678F;  // printed with six significant digits
    const std::string out = apply(R"({"appSetting": {"b_mode": "3"}, "thresholdSetting": {
        "a": {},
        "b": {"SignalName": "Volts", "NMAlarmID": "08049", "ID": 17, "SignalNumber": 2.5},
        "c": {"NMAlarmID": null, "ID": "x", "SignalNumber": "y"}}})");
    EXPECT_EQ(out,
              "InitSetting 4294967295 b_mode_:3\n"
              "here 1\n"
              "here 2\n"
              "here a\n"
              "4294967295 NMAlarmID is missing\n"
              "4294967295 ID is missing\n"
              "4294967295 SignalNumber is missing\n"
              "mobile:a:;;; level:0 value:0\n"
              "here b\n"
              "mobile:b:08049;17;2.5; level:-2147483648 value:12.3457\n"
              "here c\n"
              "4294967295 NMAlarmID is missing\n"
              "mobile:c:;x;y; level:2147483647 value:0\n");
    EXPECT_EQ(base().signal_alarm_ids_, (std::map<std::string, std::string>{
                                            {"a", ";;;"}, {"b", "08049;17;2.5;"}, {"c", ";x;y;"}}));
    EXPECT_EQ(base().signal_names_, (std::map<std::string, std::string>{{"b", "Volts"}}));
    EXPECT_EQ(dev_->threshold_levels_.size(), 3U);  // entries of 0 left for a and c
    EXPECT_EQ(dev_->threshold_values_.at("a"), 0.0F);
    EXPECT_EQ(host_.count(Service::InitSetting), 1U);
}

TEST_P(SettingsTest, SecondCallReplacesIdentityAndKeepsAnEarlierName)
{
    apply(R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {
        "k": {"SignalName": "first", "NMAlarmID": "1", "ID": "2", "SignalNumber": "3"}}})");
    apply(R"({"thresholdSetting": {"k": {"NMAlarmID": "4", "ID": "5", "SignalNumber": "6"}}})");
    EXPECT_EQ(base().signal_alarm_ids_.at("k"), "4;5;6;");
    EXPECT_EQ(base().signal_names_.at("k"), "first");
}

TEST_P(SettingsTest, BaseIsCalledOnceAfterEveryLine)
{
    // The base's call is recorded when it runs; what it sees printed by then
    // is everything the reader prints.
    const std::string out =
        apply(R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {"s": {"ID": 1}}})");
    EXPECT_EQ(host_.count(Service::InitSetting), 1U);
    EXPECT_EQ(out.substr(out.size() - std::strlen("mobile:s:;1;; level:0 value:0\n")),
              "mobile:s:;1;; level:0 value:0\n");
    host_.fail_at(Service::InitSetting);
    testing::internal::CaptureStdout();
    EXPECT_THROW(dev_->InitSetting(parse(R"({"thresholdSetting": {"t": {}}})")),
                 standin::InjectedFault);
    const std::string before_failure = testing::internal::GetCapturedStdout();
    EXPECT_NE(before_failure.find("mobile:t:;;;"), std::string::npos);
    EXPECT_EQ(base().signal_alarm_ids_.count("t"), 1U);
}

// JsonCpp's own errors pass to the host; what the reader did before the
// error (the identifier first of all, the lines printed) stays.
TEST_P(SettingsTest, MalformedValuesRaiseJsonErrorsAndKeepEarlierChanges)
{
    const struct {
        const char* settings;
        const char* printed;
    } cases[] = {
        {R"([1, 2])", ""},                                // settings not an object
        {R"({"appSetting": {"b_mode": {"x": 1}}})", ""},  // b_mode an object
        {R"({"appSetting": {"b_mode": 3}, "thresholdSetting": [{"ID": 1}]})",
         "InitSetting 3 b_mode_:3\nhere 1\nhere 2\nhere 0\n"},
        {R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {"a": {"ID": 1}, "b": {"ID": []}}})",
         "InitSetting 4 b_mode_:3\nhere 1\nhere 2\nhere a\n4 NMAlarmID is missing\n"
         "4 SignalNumber is missing\nmobile:a:;1;; level:0 value:0\nhere b\n"
         "4 NMAlarmID is missing\n"},
    };
    std::uint32_t id = 1;  // a new identifier for each case, none of them 0
    for (const auto& c : cases) {
        dev_->data_id_ = id;
        EXPECT_THROW(dev_->InitSetting(parse(c.settings)), Json::Exception) << c.settings;
        EXPECT_EQ(printed(), c.printed) << c.settings;
        EXPECT_EQ(base().data_.data_id[0], id) << c.settings;
        ++id;
    }
    EXPECT_EQ(host_.count(Service::InitSetting), 0U);
    EXPECT_EQ(base().b_mode_, 3);
    EXPECT_EQ(base().signal_alarm_ids_.at("a"), ";1;;");  // visited before the fault
    EXPECT_EQ(base().signal_alarm_ids_.count("b"), 0U);
}

VX40_FOR_EACH_HOST(SettingsTest);

}  // namespace
