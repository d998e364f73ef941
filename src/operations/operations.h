// The service operations. Each posts one request and chooses the result text from the
// reply; the call frame delivers it.
#pragma once

#include <string>

#include "core/call_frame.h"

namespace halvane {

std::string RunDailyQuiz(const CallArguments& arguments);    // "/get_daily_quiz.php"
std::string RunQuizAnswers(const CallArguments& arguments);  // "/submit_quiz_answers.php"
std::string RunTodayStatus(const CallArguments& arguments);  // "/get_today_status.php"
std::string RunTradingDay(const CallArguments& arguments);   // "/mark_trading_day.php"

}  // namespace halvane
