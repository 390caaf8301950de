-- user accounts: example postgresql script
SELECT p.product_id, COALESCE(p.description, 'n/a') AS description, COUNT(*) AS sold
FROM products p LEFT JOIN order_lines l ON l.product_id = p.product_id
GROUP BY p.product_id, p.description;

SELECT a.id FROM table_a a
UNION ALL
SELECT b.id FROM table_b b;

SELECT d.dept_name, AVG(e.salary) AS avg_salary
FROM employees e INNER JOIN departments d ON d.dept_id = e.dept_id
GROUP BY d.dept_name;

CREATE TABLE users (id BIGSERIAL PRIMARY KEY, email TEXT NOT NULL, profile JSONB);

INSERT INTO counters (key, value) VALUES ('hits', 1)
ON CONFLICT (key) DO UPDATE SET value = counters.value + 1;

CREATE EXTENSION IF NOT EXISTS pgcrypto;

SELECT DISTINCT ON (customer_id) customer_id, created_at FROM orders ORDER BY customer_id, created_at DESC;

CREATE OR REPLACE FUNCTION touch() RETURNS trigger AS $$
BEGIN
  NEW.updated_at := now();
  RETURN NEW;
END;
$$ LANGUAGE plpgsql;

SELECT id FROM documents WHERE to_tsvector('english', body) @@ to_tsquery('spark');

SELECT payload FROM events WHERE payload @> '{"type": "click"}';

\copy staging FROM 'data.csv' WITH CSV HEADER

