//+------------------------------------------------------------------+
//| HalvaneDay.mq4: a script for 32-bit terminals that walks one     |
//| trading day with the 32-bit halvane.dll: status, quiz, answers,  |
//| status, trading-day mark. Enter the trader's key and the answers |
//| in the inputs; allow DLL imports when starting it.               |
//+------------------------------------------------------------------+
#property strict
#property script_show_inputs
#include "Halvane.mqh"

input string InpUserKey = "";            // user key issued by the service
input string InpAnswers = "1=a&2=a&3=a"; // answers to today's quiz

string Describe(const HalvaneOutcome outcome, const string message)
  {
   switch(outcome)
     {
      case HALVANE_OK:                return "ok";
      case HALVANE_REFUSED:           return "refused by the service: " + message;
      case HALVANE_SIGNATURE_INVALID: return "reply rejected: its signature does not verify";
      default:                        return "no answer (network, server or buffer failure)";
     }
  }

void OnStart()
  {
   const string account = IntegerToString(AccountNumber());
   const long brokerTime = (long)TimeCurrent();
   string message, readiness, quiz, word;
   double percent;
   bool completed, drawdown;

   HalvaneOutcome outcome = HalvaneGetTodayStatus(InpUserKey, account, brokerTime, completed, readiness,
                                                  percent, drawdown, message);
   Print("Today's status: ", Describe(outcome, message));
   if(outcome == HALVANE_OK && completed)
     {
      PrintFormat("Quiz already done: %s, volume %.0f%%, drawdown hit: %s", readiness, percent,
                  drawdown ? "yes" : "no");
      return;
     }

   outcome = HalvaneGetDailyQuiz(InpUserKey, account, brokerTime, quiz, message);
   Print("Daily quiz: ", Describe(outcome, message));
   if(outcome != HALVANE_OK)
      return;
   Print(quiz);  // the questions, as the service sent them

   outcome = HalvaneSubmitQuizAnswers(InpUserKey, account, InpAnswers, brokerTime, readiness, percent, message);
   Print("Answers: ", Describe(outcome, message));
   if(outcome == HALVANE_OK)
      PrintFormat("Readiness %s: trade at most %.0f%% of the usual volume today", readiness, percent);

   outcome = HalvaneGetTodayStatus(InpUserKey, account, brokerTime, completed, readiness, percent, drawdown,
                                   message);
   Print("Today's status: ", Describe(outcome, message));
   if(outcome == HALVANE_OK && drawdown)
      Print("The daily drawdown limit is hit: no new trades today.");

   outcome = HalvaneMarkTradingDay(InpUserKey, account, word);
   Print("Trading day: ", Describe(outcome, word), (word == "" ? " (no status from the service)" : ""));
  }
//+------------------------------------------------------------------+
