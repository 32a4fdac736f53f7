// SCRAM-SHA-256 against the RFC 7677 example, and the exchanges that must fail.
#include "protocol/scram.h"

#include <gtest/gtest.h>

namespace kavrel::scram {
namespace {

// The example exchange of RFC 7677, section 3.
constexpr const char* kClientNonce = "rOprNGfwEbeRWgbNEkqO";
constexpr const char* kServerNonce = "%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0";
constexpr const char* kSalt = "W22ZaJ0SNY7soEsUEjb6gQ==";
constexpr const char* kServerFirst =
    "r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096";
constexpr const char* kClientFinal =
    "c=biws,r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,"
    "p=dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ=";
constexpr const char* kServerFinal = "v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4=";

Verifier pencil() { return Verifier::of("pencil", from_base64(kSalt), 4096); }

TEST(ScramTest, TheRfcExampleOnBothSides) {
  ClientExchange client("user", "pencil", kClientNonce);
  EXPECT_EQ(client.first(), "n,,n=user,r=rOprNGfwEbeRWgbNEkqO");

  auto first = ServerExchange::parse_first(client.first());
  ASSERT_TRUE(first.has_value()) << first.error();
  EXPECT_EQ(first->user, "user");
  ServerExchange server(*first, pencil(), kServerNonce);
  EXPECT_EQ(server.first(), kServerFirst);

  auto final = client.final(server.first());
  ASSERT_TRUE(final.has_value()) << final.error();
  EXPECT_EQ(*final, kClientFinal);
  auto server_final = server.final(*final);
  ASSERT_TRUE(server_final.has_value()) << server_final.error();
  EXPECT_EQ(*server_final, kServerFinal);
  EXPECT_TRUE(client.verify(*server_final).has_value());
}

TEST(ScramTest, VerifierTextRoundTripsAndRefusesDamage) {
  const Verifier v = Verifier::of("secret");
  EXPECT_EQ(v.salt.size(), 16u);
  EXPECT_NE(Verifier::of("secret").salt, v.salt);  // a fresh salt each time
  auto back = Verifier::parse(v.text());
  ASSERT_TRUE(back.has_value()) << back.error();
  EXPECT_EQ(*back, v);
  EXPECT_EQ(v.text().find("secret"), std::string::npos);
  const std::string text = v.text();
  for (const std::string& bad :
       {std::string("SCRAM-SHA-1$4096:c2FsdA==$AA==:AA=="), text.substr(0, text.size() - 4),
        std::string("SCRAM-SHA-256$0:") + text.substr(text.find(':') + 1), std::string()}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(Verifier::parse(bad).has_value());
  }
}

TEST(ScramTest, ExchangesThatMustFail) {
  const Verifier v = Verifier::of("right");
  const auto run = [&](const std::string& password) {
    ClientExchange client("alice", password);
    ServerExchange server(*ServerExchange::parse_first(client.first()), v);
    auto final = client.final(server.first());
    EXPECT_TRUE(final.has_value());
    return server.final(*final);
  };
  EXPECT_TRUE(run("right").has_value());
  auto wrong = run("wrong");
  ASSERT_FALSE(wrong.has_value());
  EXPECT_EQ(wrong.error(), "wrong password");

  // A recorded client-final replayed into a new exchange: the server's nonce is new.
  ClientExchange recorded("alice", "right");
  ServerExchange first_run(*ServerExchange::parse_first(recorded.first()), v);
  const std::string replayed = *recorded.final(first_run.first());
  ASSERT_TRUE(first_run.final(replayed).has_value());
  ServerExchange second_run(*ServerExchange::parse_first(recorded.first()), v);
  auto again = second_run.final(replayed);
  ASSERT_FALSE(again.has_value());
  EXPECT_EQ(again.error(), "the nonce is not this exchange's");

  // A server that does not know the verifier cannot sign: the client refuses it.
  ClientExchange client("alice", "right");
  ServerExchange impostor(*ServerExchange::parse_first(client.first()), Verifier::of("other"));
  auto final = client.final(impostor.first());
  ASSERT_TRUE(final.has_value());
  EXPECT_FALSE(client.verify("v=" + base64(Bytes(32, 'x'))).has_value());
  EXPECT_FALSE(client.verify("e=invalid-proof").has_value());

  // Server messages a client refuses.
  for (const char* bad :
       {"r=someone-elses,s=c2FsdA==,i=4096", "r=", "garbage", "s=c2FsdA==,r=x,i=1"}) {
    ClientExchange c("alice", "right", "abc");
    EXPECT_FALSE(c.final(bad).has_value()) << bad;
  }
  ClientExchange greedy("alice", "right", "abc");
  EXPECT_FALSE(greedy.final("r=abcdef,s=c2FsdA==,i=100000000").has_value());
}

TEST(ScramTest, ClientFirstMessagesAndUserNames) {
  ClientExchange odd("a=b,c", "p", "n1");
  EXPECT_EQ(odd.first(), "n,,n=a=3Db=2Cc,r=n1");
  auto parsed = ServerExchange::parse_first(odd.first());
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->user, "a=b,c");
  EXPECT_EQ(parsed->bare, "n=a=3Db=2Cc,r=n1");
  for (const char* bad : {"y,,n=a,r=x", "p=tls-unique,,n=a,r=x", "n,a=z,n=a,r=x", "n,,n=a",
                          "n,,n=,r=x", "n,,n=a=41,r=x", "n,,r=x,n=a"}) {
    EXPECT_FALSE(ServerExchange::parse_first(bad).has_value()) << bad;
  }
}

TEST(ScramTest, Base64IsCanonical) {
  for (const std::string& s :
       {std::string(), std::string("f"), std::string("fo"), std::string("foo"), std::string("foob"),
        std::string("\xff\x00", 2)}) {
    EXPECT_EQ(from_base64(base64(s)), s);
  }
  EXPECT_EQ(base64("foobar"), "Zm9vYmFy");
  for (const char* bad : {"Zm9", "Zm9=v", "Zm==Zm9v", "Zh==", "Z!9v"}) {
    EXPECT_EQ(from_base64(bad), std::nullopt) << bad;
  }
}

}  // namespace
}  // namespace kavrel::scram
