-- web logs: example hive script
DROP TABLE IF EXISTS tmp_results;

CREATE VIEW active_customers AS
SELECT customer_id, name, email FROM customers WHERE active = 1;

SELECT c.customer_id, c.name, SUM(o.amount) AS total
FROM customers c
JOIN orders o ON o.customer_id = c.customer_id
WHERE o.order_date >= '2024-01-01'
GROUP BY c.customer_id, c.name
HAVING SUM(o.amount) > 1000
ORDER BY total DESC;

MSCK REPAIR TABLE web_logs;

CREATE EXTERNAL TABLE web_logs (
  ip STRING,
  request STRUCT<method:STRING, path:STRING>
)
PARTITIONED BY (dt STRING)
STORED AS ORC
LOCATION '/data/web_logs';

CREATE TABLE mixed (u UNIONTYPE<INT, STRING>);

SELECT ip, tags FROM web_logs LATERAL VIEW explode(tag_list) t AS tags;

CREATE TABLE kv (m MAP<STRING, ARRAY<STRUCT<k:STRING, v:INT>>>);

